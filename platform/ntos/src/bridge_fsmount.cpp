// File systems on the drives: detection, mounting with ntfs-3g or fuseiso, and the volume
// controls (lock, dismount, unlock) that take them down again.
#include "bridge_fsmount.h"

#include "bridge_disk.h"
#include "bridge_fsmount_host.h"
#include "bridge_fsmount_media.h"
#include "host_internal.h"
#include "ntos_host.h"
#include "ob_internal.h"

#include <hostns/hostns.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace ntos::detail {

namespace {

enum class fs_kind { none, ntfs, iso9660 };

struct drive_mount {
    std::u16string device;
    char16_t letter = 0;
    fs_kind kind = fs_kind::none;
    std::string block;       // the volume's block file
    std::string mount_point; // where its file system is (or was) mounted
    std::string link;        // the letter's folder, a link to mount_point on the media folder
    uid_t uid = 0;
    gid_t gid = 0;
    bool read_only = false;
    pid_t daemon = -1;   // the file-system process, a child of the service
    bool locked = false; // unmounted by a lock, not yet dismounted
};

struct fsmount_state {
    std::mutex lock;
    bool started = false;
    std::map<std::u16string, drive_mount> mounts; // by upper-cased device name
};

fsmount_state& state()
{
    static fsmount_state s;
    return s;
}

std::string drives_folder()
{
    const char* configured = std::getenv("LOCKBIN_DRIVES");
    if (configured && *configured == '/')
        return configured;
    return host_runtime_folder() + "/drives";
}

fs_kind detect(const std::string& block)
{
    int fd = ::open(block.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fs_kind::none;
    char boot[512] = {};
    char descriptor[8] = {};
    fs_kind kind = fs_kind::none;
    if (::pread(fd, boot, sizeof(boot), 0) == ssize_t(sizeof(boot)) &&
        std::memcmp(boot + 3, "NTFS    ", 8) == 0)
        kind = fs_kind::ntfs;
    // An ISO 9660 primary volume descriptor at sector 16 of 2048 bytes.
    else if (::pread(fd, descriptor, sizeof(descriptor), 16 * 2048) ==
                 ssize_t(sizeof(descriptor)) &&
             std::memcmp(descriptor + 1, "CD001", 5) == 0)
        kind = fs_kind::iso9660;
    ::close(fd);
    return kind;
}

// An NTFS that is larger than its volume (a container cut on the host) still believes in its
// old size: what it writes beyond the end is lost and its files there read back as errors. It is
// mounted read-only, so what is left can be copied out and nothing more goes missing.
bool ntfs_outgrows_volume(const std::string& block, uint64_t volume_bytes)
{
    int fd = ::open(block.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    unsigned char boot[512] = {};
    bool whole = ::pread(fd, boot, sizeof(boot), 0) == ssize_t(sizeof(boot));
    ::close(fd);
    if (!whole)
        return false;
    const uint64_t bytes_per_sector = boot[0x0B] | (uint64_t(boot[0x0C]) << 8);
    uint64_t sectors = 0;
    for (int i = 7; i >= 0; --i)
        sectors = (sectors << 8) | boot[0x28 + i];
    // Compared as sectors: a boot sector with absurd fields must not overflow into a fit.
    return bytes_per_sector != 0 && sectors > volume_bytes / bytes_per_sector;
}

// An NTFS drive goes where file managers show removable media, named by its volume label; the
// letter's folder becomes a link to it so that drive letters still resolve. Without a media
// folder, or when the place cannot be made, the drive stays at its letter's folder.
void place_on_media(drive_mount& m)
{
    std::string media = fsmount_media_folder();
    if (m.kind != fs_kind::ntfs || media.empty() || !m.link.empty())
        return;
    std::u16string label;
    int fd = ::open(m.block.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        label = ntfs_volume_label(fd);
        ::close(fd);
    }
    std::string point = fsmount_make_media_point(media, m.uid, m.gid, label, char(m.letter));
    if (point.empty())
        return;
    host_detach_stale_mount(m.mount_point);
    ::rmdir(m.mount_point.c_str());
    ::unlink(m.mount_point.c_str());
    if (::symlink(point.c_str(), m.mount_point.c_str()) != 0) {
        ::rmdir(point.c_str());
        return;
    }
    m.link = m.mount_point;
    m.mount_point = point;
}

void remove_mount_point(drive_mount& m)
{
    ::rmdir(m.mount_point.c_str());
    if (!m.link.empty()) {
        ::unlink(m.link.c_str());
        m.mount_point = m.link;
        m.link.clear();
    }
}

// Prepares the mount point: a folder of the owner's, mode 0700, with nothing mounted on it.
bool prepare_mount_point(drive_mount& m)
{
    std::string folder = drives_folder();
    ::mkdir(host_runtime_folder().c_str(), 0755);
    if (::mkdir(folder.c_str(), 0755) == 0)
        ::chmod(folder.c_str(), 0755);
    place_on_media(m);
    host_detach_stale_mount(m.mount_point);
    if (::mkdir(m.mount_point.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat st {};
    if (::lstat(m.mount_point.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return ::chown(m.mount_point.c_str(), m.uid, m.gid) == 0 &&
           ::chmod(m.mount_point.c_str(), 0700) == 0;
}

bool mount_file_system(drive_mount& m)
{
    if (!prepare_mount_point(m))
        return false;
    std::vector<std::string> argv;
    bool owner_start = false;
    // Whatever a user wrote into a volume, device nodes and set-id bits on it mean nothing.
    if (m.kind == fs_kind::ntfs) {
        // The NTFS parser runs as the volume's owner, not as root.
        owner_start = true;
        std::string options =
            "no_detach,big_writes,allow_other,nodev,nosuid,uid=" + std::to_string(m.uid) +
            ",gid=" + std::to_string(m.gid) + ",umask=077";
        if (m.read_only)
            options += ",ro";
        argv = {"ntfs-3g", "-o", options, m.block, m.mount_point};
    } else if (m.kind == fs_kind::iso9660) {
        if (!host_have_program("fuseiso"))
            return false;
        // Every file shows as the owner's, readable by the owner only, as on the NTFS drives.
        argv = {"fuseiso",
                "-n",
                m.block,
                m.mount_point,
                "-f",
                "-o",
                "allow_other,default_permissions,nodev,nosuid,uid=" + std::to_string(m.uid) +
                    ",gid=" + std::to_string(m.gid) + ",umask=0277"};
    } else {
        return false;
    }
    pid_t child = host_spawn(argv, owner_start, m.uid, m.gid);
    if (child < 0)
        return false;
    if (!host_wait_mounted(m.mount_point, child)) {
        host_reap(child, 2000);
        remove_mount_point(m);
        std::fprintf(stderr, "fsmount: %c: %s did not mount %s\n", char(m.letter), argv[0].c_str(),
                     m.block.c_str());
        return false;
    }
    m.daemon = child;
    hostns::Namespace(host_runtime_folder(), 0)
        .publish_volume(m.device, m.mount_point, m.uid, m.gid);
    std::fprintf(stderr, "fsmount: %c: mounted at %s\n", char(m.letter), m.mount_point.c_str());
    return true;
}

// The process that served the mount goes once the kernel has let go of it; it writes what it
// still holds back to the volume first, so the volume must outlive it.
void wait_daemon(drive_mount& m, int patience_ms)
{
    if (m.daemon > 0)
        host_reap(m.daemon, patience_ms);
    m.daemon = -1;
}

// Unmounts if no process holds anything under the mount; names the holders otherwise.
bool unmount_gently(drive_mount& m)
{
    std::vector<host_holder> holders = host_holders(m.mount_point);
    if (!holders.empty() || !host_unmount(m.mount_point, false)) {
        if (holders.empty())
            holders = host_holders(m.mount_point);
        for (const auto& h : holders)
            std::fprintf(stderr, "fsmount: %c: in use by pid %d (%s)\n", char(m.letter), int(h.pid),
                         h.name.c_str());
        if (holders.empty())
            std::fprintf(stderr, "fsmount: %c: %s is busy\n", char(m.letter),
                         m.mount_point.c_str());
        return false;
    }
    wait_daemon(m, 30000);
    return true;
}

// Aborts the FUSE connection so that every open handle fails, then detaches the mount.
void unmount_forcibly(drive_mount& m)
{
    host_abort_fuse(m.mount_point);
    host_unmount(m.mount_point, true);
    wait_daemon(m, 5000);
}

void forget(drive_mount& m)
{
    hostns::Namespace(host_runtime_folder(), 0).unpublish_volume(m.device);
    remove_mount_point(m);
}

NTSTATUS volume_control(PDEVICE_OBJECT device, PFILE_OBJECT, ULONG code, PVOID, ULONG, PVOID, ULONG,
                        ULONG_PTR* information)
{
    *information = 0;
    if (code != FSCTL_LOCK_VOLUME && code != FSCTL_DISMOUNT_VOLUME && code != FSCTL_UNLOCK_VOLUME)
        return STATUS_INVALID_DEVICE_REQUEST;
    fsmount_state& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.mounts.find(ob_upcase(ob_full_name(device)));
    // No file system mounted: nothing holds the volume.
    if (it == s.mounts.end())
        return STATUS_SUCCESS;
    drive_mount& m = it->second;
    switch (code) {
    case FSCTL_LOCK_VOLUME:
        if (m.locked)
            return STATUS_ACCESS_DENIED;
        if (!unmount_gently(m))
            return STATUS_ACCESS_DENIED;
        m.locked = true;
        return STATUS_SUCCESS;
    case FSCTL_DISMOUNT_VOLUME:
        if (!m.locked)
            unmount_forcibly(m);
        forget(m);
        s.mounts.erase(it);
        return STATUS_SUCCESS;
    default: // FSCTL_UNLOCK_VOLUME: a lock that was not followed by a dismount
        m.locked = false;
        if (!mount_file_system(m)) {
            forget(m);
            s.mounts.erase(it);
        }
        return STATUS_SUCCESS;
    }
}

// The letter whose \GLOBAL?? link leads to the device, 0 for none.
char16_t linked_letter(const std::u16string& device)
{
    std::vector<directory_entry> entries;
    if (!NT_SUCCESS(ob_list_directory(u"\\GLOBAL??", &entries)))
        return 0;
    for (const auto& e : entries) {
        if (e.kind != object_kind::symbolic_link || e.name.size() != 2 || e.name[1] != u':')
            continue;
        void* link = nullptr;
        std::u16string rest;
        if (!NT_SUCCESS(ob_lookup_path(nullptr, u"\\GLOBAL??\\" + e.name, &link, &rest, true)))
            continue;
        bool match = ob_upcase(ob_link_target(link)) == ob_upcase(device);
        ob_dereference(link);
        if (match)
            return ob_upcase(e.name)[0];
    }
    return 0;
}

void first_sector_written(void*, PDEVICE_OBJECT device)
{
    ObReferenceObject(device);
    // Not on the bridge's thread: the mount reads the volume through the bridge.
    std::thread([device] {
        char16_t letter = linked_letter(ob_full_name(device));
        if (letter)
            fsmount_volume_linked(device, letter);
        ObDereferenceObject(device);
    }).detach();
}

} // namespace

NTSTATUS fsmount_start()
{
    fsmount_state& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.started)
        return STATUS_SUCCESS;
    s.started = true;
    set_volume_control_hook(volume_control);
    bridge_disk_set_first_sector_hook(first_sector_written, nullptr);
    return STATUS_SUCCESS;
}

void fsmount_stop()
{
    fsmount_state& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.started)
        return;
    s.started = false;
    bridge_disk_set_first_sector_hook(nullptr, nullptr);
    set_volume_control_hook(nullptr);
    // All connections go first, then their processes share one wait, so that the stop takes
    // seconds however many drives there are and whatever their owners did to the processes.
    for (auto& [key, m] : s.mounts) {
        if (!m.locked) {
            host_abort_fuse(m.mount_point);
            host_unmount(m.mount_point, true);
        }
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (auto& [key, m] : s.mounts) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        wait_daemon(m, int(std::max<long long>(0, left.count())));
        forget(m);
    }
    s.mounts.clear();
}

void fsmount_volume_linked(PDEVICE_OBJECT device, char16_t letter)
{
    drive_mount m;
    m.device = ob_full_name(device);
    m.letter = letter;
    m.block = bridge_disk_file_path(device);
    m.mount_point = fsmount_mount_point(letter);
    m.read_only = (device->Characteristics & FILE_READ_ONLY_DEVICE) != 0;
    struct stat st {};
    if (m.block.empty() || ::stat(m.block.c_str(), &st) != 0)
        return; // the disk bridge does not show the volume: nothing to mount from
    m.uid = st.st_uid;
    m.gid = st.st_gid;
    m.kind = detect(m.block);
    if (m.kind == fs_kind::none)
        return;
    if (m.kind == fs_kind::ntfs && !m.read_only &&
        ntfs_outgrows_volume(m.block, uint64_t(st.st_size))) {
        m.read_only = true;
        std::fprintf(stderr,
                     "fsmount: %c: the NTFS is larger than its volume of %lld bytes (the container "
                     "was cut short): mounted read-only\n",
                     char(letter), static_cast<long long>(st.st_size));
    }

    fsmount_state& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.started || s.mounts.count(ob_upcase(m.device)))
        return;
    if (mount_file_system(m))
        s.mounts.emplace(ob_upcase(m.device), std::move(m));
}

void fsmount_volume_unlinked(const std::u16string& device_name)
{
    fsmount_state& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.mounts.find(ob_upcase(device_name));
    if (it == s.mounts.end())
        return;
    if (!it->second.locked)
        unmount_forcibly(it->second);
    forget(it->second);
    s.mounts.erase(it);
}

std::string fsmount_drives_folder()
{
    return drives_folder();
}

std::string fsmount_mount_point(char16_t letter)
{
    return drives_folder() + "/" + char(letter);
}

bool fsmount_is_mounted(const std::u16string& device_name)
{
    fsmount_state& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    auto it = s.mounts.find(ob_upcase(device_name));
    return it != s.mounts.end() && !it->second.locked;
}

} // namespace ntos::detail
