// The volume layer's entry points as the driver frame and the control handler call them. The
// volume layer's own header replaces this one (and virtualdisk_pending.cpp) when it lands.
#pragma once

#include <ntifs.h>

#include "redav_ioctl.h"

// Each returns TRUE when a volume is registered at Letter and the work was done.
BOOLEAN VirtualDisk_QueryVolume(WCHAR Letter, PREDAV_VOLUME_INFO Info);
BOOLEAN VirtualDisk_QueryHideSector(WCHAR Letter, PREDAV_HIDE_SECTOR_DATA Data);
BOOLEAN VirtualDisk_SetVolumeRWStatus(WCHAR Letter, ULONG VolumeRWStatus);
BOOLEAN VirtualDisk_HideSectorSetting(WCHAR Letter, PREDAV_HIDE_SECTOR_DATA Data);
// Each returns TRUE when the volume is mounted and registered. Key is read only during the call.
BOOLEAN VirtualDisk_MountCDROM(WCHAR Letter, PWSTR FilePath);
BOOLEAN VirtualDisk_MountNewDisk(WCHAR Letter, PWSTR FilePath, LONGLONG DiskSize, BOOLEAN NoSparse,
                                 BOOLEAN IsEncrypt, PUCHAR Key, ULONG KeyLength);
BOOLEAN VirtualDisk_MountExistDisk(WCHAR Letter, PWSTR FilePath, BOOLEAN IsReadOnly,
                                   BOOLEAN IsEncrypt, PUCHAR Key, ULONG KeyLength);
// TRUE when the volume was dismounted and torn down.
BOOLEAN VirtualDisk_DisMount(WCHAR Letter, BOOLEAN Force);

// The volume table, its lock and the mount mutex; cannot fail.
NTSTATUS File_Initialize(PDRIVER_OBJECT DriverObject);
// Dismounts every mounted volume.
VOID File_Uninitialize();

// The volume devices' routes for read, write and device control.
NTSTATUS RedAvDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS RedAvDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
