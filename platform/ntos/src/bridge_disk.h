// The disk bridge: every disk and CD-ROM device object of the layer appears as a regular file in
// a FUSE file system at R/disks (R = host_runtime_folder()). A host read or write on the file
// becomes IRP_MJ_READ / IRP_MJ_WRITE requests over an MDL of the host's buffer, sent with
// IoCallDriver and waited for; fsync becomes IRP_MJ_FLUSH_BUFFERS. The file is named after the
// device's leaf name ("\Device\ZELVirtualDisk\ZELVirtualDiskZ" -> "ZELVirtualDiskZ"), is as long
// as the device's whole sectors (IOCTL_DISK_GET_LENGTH_INFO) and belongs to the user who created
// the device, mode 0600 (0400 for a read-only device): the driver's device security would let any
// local user in, which on the host would hand every user the decrypted disk.
//
// A device is listed once its creator has cleared DO_DEVICE_INITIALIZING. Requests of any
// offset and length are split into whole 512-byte sectors (partial sectors are read, patched and
// written back, serialised per device), see bridge_disk_block.h.
#pragma once

#include <ntifs.h>

#include <string>
#include <sys/types.h>

namespace ntos::detail {

// Mounts the file system at `folder` (default R/disks, created if missing) and starts its
// multi-threaded loop. STATUS_ACCESS_DENIED without /dev/fuse or the right to mount,
// STATUS_OBJECT_NAME_COLLISION when already running.
NTSTATUS bridge_disk_start(const std::string& folder = {});
// Unmounts and waits for the loop; open host handles fail from then on. No-op when stopped.
void bridge_disk_stop();
// The mounted folder, empty while stopped.
std::string bridge_disk_folder();

// Device arrival and removal. The I/O manager calls these for devices of type FILE_DEVICE_DISK
// and FILE_DEVICE_CD_ROM: created after IoCreateDevice has named the device, deleted from
// IoDeleteDevice before the device goes. The owner is the identity of the calling thread (its
// client process, else its impersonation, else the service). Deletion waits until host requests
// under way on the device have ended; later ones fail with ENXIO. Both work while stopped (the
// table is kept) and are no-ops for other devices. IRQL PASSIVE_LEVEL.
void bridge_disk_device_created(PDEVICE_OBJECT device);
void bridge_disk_device_deleted(PDEVICE_OBJECT device);
// Publishes with an explicit owner (tests, or a creator that knows better).
void bridge_disk_device_created_for(PDEVICE_OBJECT device, uid_t uid, gid_t gid);

// Host path of the device's file ("" when the device is not in the table or the bridge stopped).
std::string bridge_disk_file_path(PDEVICE_OBJECT device);

// Called, on a bridge thread and after the host's close has been answered, when a handle that
// wrote any byte of the device's first sector is released (a format just ended). One hook; null
// removes it.
using bridge_disk_first_sector_hook = void (*)(void* context, PDEVICE_OBJECT device);
void bridge_disk_set_first_sector_hook(bridge_disk_first_sector_hook hook, void* context);

// The errno a host request gets for a request status: STATUS_ACCESS_DENIED -> EACCES,
// STATUS_INVALID_PARAMETER -> EINVAL, STATUS_DISK_FULL -> ENOSPC, any other failure -> EIO; 0 for
// success.
int bridge_disk_errno(NTSTATUS status);

} // namespace ntos::detail
