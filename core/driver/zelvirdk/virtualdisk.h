// The volume layer: mounting containers as volume devices, the per-letter operations the control
// handler reaches, dismounting, and the layer's set-up and shutdown.
//
// Container file ("*.lkb") of a disk: a 512-byte header sector, the virtual disk of D bytes (its
// sector n at file offset 512 + 512n, through the sector transform when encrypted), a 512-byte
// tail sector. The file is exactly D + 1024 bytes long; D is always derived from the end of file.
// The hidden sectors are stored as they are. A CD-ROM image is the disk itself, read-only and
// never encrypted.
//
// Mounts and dismounts run on a one-shot system thread under g_MountMutex while the caller
// waits; the container is opened with the rights of the thread that called the entry point, so
// a caller can mount, create or truncate only files it may open itself. Failures are written to
// the driver log and reported as FALSE.
#pragma once

#include <ntifs.h>

#include "devext.h"
#include "redav_ioctl.h"

// A volume belongs to the user who mounted it: only that user and a privileged requester (root,
// the system) learn its container path and access state, change that state, read or write its
// hidden sectors or dismount it. Every operation takes its requester from the calling thread.
// Status, where given, says why an operation returned FALSE: STATUS_ACCESS_DENIED when the
// volume is another user's (logged), STATUS_QUOTA_EXCEEDED for a mount beyond the requester's
// cap of volumes (logged), else STATUS_UNSUCCESSFUL.

// Each returns TRUE when a volume is registered at Letter and the work was done. Letters outside
// 'D' to 'Z' (after upper-casing) return FALSE. The queries copy under the table's spin lock; the
// hidden-sector setting writes the container directly (unencrypted) and holds the mount mutex, so
// no dismount tears the volume down meanwhile. PASSIVE_LEVEL.
// Another user's volume is described without its path: its letter, device name, size and kind
// only (IsReadOnly set for a CD-ROM image, as every image is; IsEncrypt and VolumeRWStatus 0).
BOOLEAN VirtualDisk_QueryVolume(WCHAR Letter, PREDAV_VOLUME_INFO Info);
BOOLEAN VirtualDisk_QueryHideSector(WCHAR Letter, PREDAV_HIDE_SECTOR_DATA Data,
                                    PNTSTATUS Status = nullptr);
// VolumeRWStatus above 2 is refused (and logged).
BOOLEAN VirtualDisk_SetVolumeRWStatus(WCHAR Letter, ULONG VolumeRWStatus,
                                      PNTSTATUS Status = nullptr);
BOOLEAN VirtualDisk_HideSectorSetting(WCHAR Letter, PREDAV_HIDE_SECTOR_DATA Data,
                                      PNTSTATUS Status = nullptr);

// Each returns TRUE when the volume is mounted and registered at Letter. Key is read only during
// the call; with IsEncrypt clear it is not looked at. A letter whose slot already holds a volume
// fails and leaves that volume alone. A user other than root holds at most the number of
// volumes that REDAV_USER_VOLUMES_VALUE under the service's Parameters key allows
// (REDAV_DEFAULT_USER_VOLUMES when it cannot be read, written back then). PASSIVE_LEVEL, in the
// requesting thread.
BOOLEAN VirtualDisk_MountCDROM(WCHAR Letter, PWSTR FilePath, PNTSTATUS Status = nullptr);
// Creates (or truncates) the container: sparse unless NoSparse, DiskSize + 1024 bytes, zero
// hidden sectors, a zero first disk sector through the sector transform.
BOOLEAN VirtualDisk_MountNewDisk(WCHAR Letter, PWSTR FilePath, LONGLONG DiskSize, BOOLEAN NoSparse,
                                 BOOLEAN IsEncrypt, PUCHAR Key, ULONG KeyLength,
                                 PNTSTATUS Status = nullptr);
// Accepts the key only when the first disk sector decrypts to a boot sector or to zeros; a
// refused mount leaves the container unchanged.
BOOLEAN VirtualDisk_MountExistDisk(WCHAR Letter, PWSTR FilePath, BOOLEAN IsReadOnly,
                                   BOOLEAN IsEncrypt, PUCHAR Key, ULONG KeyLength,
                                   PNTSTATUS Status = nullptr);
// TRUE when the volume was dismounted and torn down: ten attempts 50 ms apart; Force dismounts a
// file system that cannot be locked.
BOOLEAN VirtualDisk_DisMount(WCHAR Letter, BOOLEAN Force, PNTSTATUS Status = nullptr);

// The table, its lock and the mount mutex (volume record module); cannot fail. RegistryPath, the
// service key, is where the volume layer's parameters are read.
NTSTATUS File_Initialize(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath);
// Dismounts every mounted volume, forcibly where a plain dismount fails. PASSIVE_LEVEL.
VOID File_Uninitialize();

// The volume devices' routes for read, write and device control (request path module).
NTSTATUS RedAvDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS RedAvDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
