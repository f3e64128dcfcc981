// The layer's mount manager, "\Device\MountPointManager", a device of the layer's own driver
// object "\Driver\MountMgr", and the start of the services that make volumes into drives.
//
// IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION: asks the volume (IRPs its driver answers) for its
//   device name, unique id and suggested link; a suggested "\DosDevices\X:" whose letter is free
//   becomes the link \GLOBAL??\X:. The volume is remembered by its device name either way.
// IOCTL_MOUNTMGR_CREATE_POINT: "\DosDevices\X:" (or "\??\X:", "\GLOBAL??\X:") becomes the link
//   \GLOBAL??\X: to the device; STATUS_OBJECT_NAME_COLLISION when the letter is taken.
// IOCTL_MOUNTMGR_DELETE_POINTS: by device name or link name: unmounts the drive's file system
//   and deletes the links this mount manager made; the output gets a MOUNTMGR_MOUNT_POINTS header
//   with the number of points deleted.
// Whenever a drive link is made, the volume's file system is mounted (bridge_fsmount.h).
// Other codes: STATUS_INVALID_DEVICE_REQUEST. Records that do not fit their input:
// STATUS_INVALID_PARAMETER.
#pragma once

#include <ntifs.h>

#include <string>

namespace ntos::detail {

// Creates the mount manager device, publishes drive links to R/GLOBAL??, serves the per-user
// session namespace of \?? and installs the file-system mounting hooks. Idempotent. Call after
// start_host, before the first volume arrives.
NTSTATUS mount_services_start();
// Unmounts what is still mounted, deletes the device and stops publishing. No-op when stopped.
void mount_services_stop();

NTSTATUS mountmgr_start();
void mountmgr_stop();
// The drive letter the mount manager linked to the device (0 for none).
char16_t mountmgr_letter_of(const std::u16string& device_name);

} // namespace ntos::detail
