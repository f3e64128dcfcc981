// File systems on the volumes: when a drive letter leads to a volume whose first sector holds a
// file system this host can mount, the file system is mounted at the drive's mount point, a
// folder per letter under the drives folder ($LOCKBIN_DRIVES, default R/drives). NTFS is mounted
// with ntfs-3g, ISO 9660 images read-only with fuseiso where it is installed; anything else (an
// unformatted volume) stays without a file system. The mount point belongs to the user who owns
// the volume's block file (the user who mounted it), mode 0700, and its host folder is published
// as the volume's folder (R/volumes) so DOS paths on the drive reach the files.
//
// The volume controls of the file system are answered here (the layer's volume-control hook):
// FSCTL_LOCK_VOLUME unmounts, and fails with STATUS_ACCESS_DENIED while any process holds a file,
// a working directory or a mapping under the mount (each holder is named on standard error);
// FSCTL_DISMOUNT_VOLUME finishes a locked dismount, or, without a lock, aborts the FUSE connection
// so that open handles fail instead of writing to a vanished disk, and detaches the mount;
// FSCTL_UNLOCK_VOLUME mounts a locked, not dismounted volume again. Volumes without a mounted file
// system lock, dismount and unlock trivially.
//
// All calls are PASSIVE_LEVEL; they spawn host processes and wait for them.
#pragma once

#include <ntifs.h>

#include <string>

namespace ntos::detail {

// Installs the volume-control hook and the disk bridge's first-sector hook (a format just ended
// on a linked volume without a file system: mount what it wrote). Idempotent.
NTSTATUS fsmount_start();
// Removes the hooks and unmounts every file system still mounted (forcibly).
void fsmount_stop();

// The drive `letter` now leads to the volume `device`: mount its file system if it has one.
void fsmount_volume_linked(PDEVICE_OBJECT device, char16_t letter);
// The drive is going: unmount (forcibly when a lock did not already) and forget the volume.
void fsmount_volume_unlinked(const std::u16string& device_name);

// The folder the drives are mounted under, and one drive's mount point.
std::string fsmount_drives_folder();
std::string fsmount_mount_point(char16_t letter);
// True while a file system is mounted for the device.
bool fsmount_is_mounted(const std::u16string& device_name);

} // namespace ntos::detail
