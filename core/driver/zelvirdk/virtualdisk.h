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

// Each returns TRUE when a volume is registered at Letter and the work was done. Letters outside
// 'D' to 'Z' (after upper-casing) return FALSE. The queries copy under the table's spin lock; the
// hidden-sector setting writes the container directly (unencrypted) and holds the mount mutex, so
// no dismount tears the volume down meanwhile. PASSIVE_LEVEL.
BOOLEAN VirtualDisk_QueryVolume(WCHAR Letter, PREDAV_VOLUME_INFO Info);
BOOLEAN VirtualDisk_QueryHideSector(WCHAR Letter, PREDAV_HIDE_SECTOR_DATA Data);
// VolumeRWStatus above 2 is refused (and logged).
BOOLEAN VirtualDisk_SetVolumeRWStatus(WCHAR Letter, ULONG VolumeRWStatus);
BOOLEAN VirtualDisk_HideSectorSetting(WCHAR Letter, PREDAV_HIDE_SECTOR_DATA Data);

// Each returns TRUE when the volume is mounted and registered at Letter. Key is read only during
// the call; with IsEncrypt clear it is not looked at. A letter whose slot already holds a volume
// fails and leaves that volume alone. PASSIVE_LEVEL, in the requesting thread.
BOOLEAN VirtualDisk_MountCDROM(WCHAR Letter, PWSTR FilePath);
// Creates (or truncates) the container: sparse unless NoSparse, DiskSize + 1024 bytes, zero
// hidden sectors, a zero first disk sector through the sector transform.
BOOLEAN VirtualDisk_MountNewDisk(WCHAR Letter, PWSTR FilePath, LONGLONG DiskSize, BOOLEAN NoSparse,
                                 BOOLEAN IsEncrypt, PUCHAR Key, ULONG KeyLength);
// Accepts the key only when the first disk sector decrypts to a boot sector or to zeros; a
// refused mount leaves the container unchanged.
BOOLEAN VirtualDisk_MountExistDisk(WCHAR Letter, PWSTR FilePath, BOOLEAN IsReadOnly,
                                   BOOLEAN IsEncrypt, PUCHAR Key, ULONG KeyLength);
// TRUE when the volume was dismounted and torn down: ten attempts 50 ms apart; Force dismounts a
// file system that cannot be locked.
BOOLEAN VirtualDisk_DisMount(WCHAR Letter, BOOLEAN Force);

// The table, its lock and the mount mutex (volume record module); cannot fail.
NTSTATUS File_Initialize(PDRIVER_OBJECT DriverObject);
// Dismounts every mounted volume, forcibly where a plain dismount fails. PASSIVE_LEVEL.
VOID File_Uninitialize();

// The volume devices' routes for read, write and device control (request path module).
NTSTATUS RedAvDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS RedAvDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
