// Host files behind the Zw file services (not visible to the driver).
//
// A host file handle names a FILE_OBJECT (object kind file) whose FsContext is a host_file and
// whose FsContext2 is host_file_tag. Its DeviceObject is the host volume it was opened on. The
// share table keeps, per host inode, the access and sharing of every open file object of the
// service; an entry goes when the file object's last reference goes.
#pragma once

#include "ntos_host.h"
#include "ob_internal.h"
#include "zw_readahead.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>
#include <sys/types.h>
#include <utility>

namespace ntos::detail {

struct host_node; // one host inode with open file objects (zw_share.cpp)

struct host_file {
    int fd = -1;
    std::string path;    // host path as opened
    std::u16string name; // path below the volume, as FILE_OBJECT.FileName shows it
    bool directory = false;
    bool direct = false;      // O_DIRECT is on
    bool unbuffered = false;  // FILE_NO_INTERMEDIATE_BUFFERING: 512-byte rule applies
    bool synchronous = false; // FO_SYNCHRONOUS_IO: CurrentByteOffset is kept
    bool read = false, write = false, del = false; // data access taken
    bool share_read = false, share_write = false, share_delete = false;
    host_node* node = nullptr;
    std::pair<dev_t, ino_t> node_key{};
    std::mutex position_lock; // CurrentByteOffset of synchronous handles

    // Direct writes of a handle that is the file's only writer are widened to whole host
    // blocks (zw_rw.cpp): widened writes hold the lock alone, other writes share it.
    uint32_t host_block = 0; // 0: writes are never widened
    std::shared_mutex widen_lock;
    // The block last written at a widened write's end, kept so that the next sequential write
    // need not read it.
    std::atomic<uint64_t> edge_offset{UINT64_MAX};
    std::vector<uint8_t> edge;

    // Direct handles that no other handle may write read ahead for a sequential reader.
    std::unique_ptr<direct_read_ahead> ahead;

    // Written through the unbuffered path (a container): its room to grow is watched, and host
    // space is held for it in its own holes (allocated, never written through this handle)
    // until a write finds the host disk full (zw_space.cpp).
    std::atomic<bool> space_watched{false};
    std::mutex reserve_lock;
    std::vector<std::pair<uint64_t, uint64_t>> reserve; // [begin, end) in host blocks
    bool reserve_spent = false;
    int reserve_fd = -1; // the file stays open to give the held space back when `fd` has closed
    ~host_file();
};

extern const char host_file_tag[];

// Host space for containers (zw_space.cpp). A write cache in front of a volume may hold up to
// `margin` bytes its writer was told are written; they must still fit when they reach the
// container.
//
// True when a host file system holding files written unbuffered and for writing (containers)
// has less free space than both `margin` and what those files may still grow by (their holes),
// or when the space held for one of them was given back. Each such file holds `margin` bytes of
// its holes while the host has room for that besides.
bool zw_space_short(uint64_t margin);
// Called for every read or write of a host file; files opened unbuffered for writing are
// watched from then on.
void zw_space_watch(host_file* file);
// After a write of [offset, offset + length): that part holds data now, not held space.
void zw_space_written(host_file* file, uint64_t offset, uint64_t length);
// A write found the host disk full: frees the space held in the file's holes for the write to
// be tried again. False when there was none.
bool zw_space_give_back(host_file* file);

// GENERIC_* (and MAXIMUM_ALLOWED) turned into the file rights they stand for.
ACCESS_MASK zw_map_generic(ACCESS_MASK access);

// The host file of a file object, or null for file objects of devices.
host_file* zw_host_file(PFILE_OBJECT file);

// The file object behind a handle, referenced while the holder lives.
struct file_ref {
    PFILE_OBJECT file = nullptr;
    ACCESS_MASK granted = 0;
    file_ref() = default;
    file_ref(const file_ref&) = delete;
    file_ref& operator=(const file_ref&) = delete;
    ~file_ref()
    {
        if (file)
            ob_dereference(file);
    }
};
NTSTATUS zw_reference_file(HANDLE handle, file_ref* ref);

// Share table. Checks the new open against the others on the same inode and records it;
// STATUS_SHARING_VIOLATION leaves the table unchanged. Opens with no data access (read, write,
// delete) neither check nor count, as on the platform.
NTSTATUS zw_share_attach(host_file* file, dev_t device, ino_t inode);
void zw_share_detach(host_file* file);
// Sparse state of the inode (set by FSCTL_SET_SPARSE, cleared by an overwrite).
bool zw_share_sparse(const host_file* file);
void zw_share_set_sparse(host_file* file, bool sparse);

// NTSTATUS of an errno from a host file call; open_path chooses between the "name" and "path"
// statuses for ENOENT (a missing last component or a missing folder on the way).
NTSTATUS zw_status_of_errno(int error);

// Opens a device that is not a host volume through its driver (IRP_MJ_CREATE) and returns a
// handle to the new file object (zw_device.cpp).
NTSTATUS zw_open_device_file(PDEVICE_OBJECT device, const std::u16string& remaining,
                             ACCESS_MASK access, ULONG attributes, PHANDLE handle,
                             PIO_STATUS_BLOCK iosb);
// A request on a device file object, sent to its device's driver and waited for.
NTSTATUS zw_device_read_write(PFILE_OBJECT file, bool write, PVOID buffer, ULONG length,
                              LONGLONG offset, PIO_STATUS_BLOCK iosb);
NTSTATUS zw_device_control(PFILE_OBJECT file, ULONG code, PVOID input, ULONG input_length,
                           PVOID output, ULONG output_length, PIO_STATUS_BLOCK iosb);
NTSTATUS zw_device_flush(PFILE_OBJECT file, PIO_STATUS_BLOCK iosb);

// Host volumes: the devices \Device\HarddiskVolumeN made at start from the drives file, with the
// links \GLOBAL??\X: to them. host_volume_folder gives the host folder behind such a device.
NTSTATUS host_volumes_start();
void host_volumes_stop();
bool host_volume_folder(const void* device, std::string* folder);

// The hook of ntos::set_volume_control_hook, or null.
ntos::volume_control_hook zw_volume_control_hook();

} // namespace ntos::detail
