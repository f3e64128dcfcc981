// Until the volume layer lands, the control handler's volume operations report failure and
// no volume device exists. The volume layer replaces this file and virtualdisk_pending.h.
#include "virtualdisk_pending.h"

namespace {
PDRIVER_OBJECT g_PendingDriverObject = nullptr;
}

BOOLEAN VirtualDisk_QueryVolume(WCHAR, PREDAV_VOLUME_INFO)
{
    return FALSE;
}

BOOLEAN VirtualDisk_QueryHideSector(WCHAR, PREDAV_HIDE_SECTOR_DATA)
{
    return FALSE;
}

BOOLEAN VirtualDisk_SetVolumeRWStatus(WCHAR, ULONG)
{
    return FALSE;
}

BOOLEAN VirtualDisk_HideSectorSetting(WCHAR, PREDAV_HIDE_SECTOR_DATA)
{
    return FALSE;
}

BOOLEAN VirtualDisk_MountCDROM(WCHAR, PWSTR)
{
    return FALSE;
}

BOOLEAN VirtualDisk_MountNewDisk(WCHAR, PWSTR, LONGLONG, BOOLEAN, BOOLEAN, PUCHAR, ULONG)
{
    return FALSE;
}

BOOLEAN VirtualDisk_MountExistDisk(WCHAR, PWSTR, BOOLEAN, BOOLEAN, PUCHAR, ULONG)
{
    return FALSE;
}

BOOLEAN VirtualDisk_DisMount(WCHAR, BOOLEAN)
{
    return FALSE;
}

NTSTATUS File_Initialize(PDRIVER_OBJECT DriverObject)
{
    g_PendingDriverObject = DriverObject;
    return STATUS_SUCCESS;
}

VOID File_Uninitialize()
{
    g_PendingDriverObject = nullptr;
}

// No volume device exists yet, so nothing can reach these.
NTSTATUS RedAvDispatchReadWrite(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_ACCESS_DENIED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_ACCESS_DENIED;
}

NTSTATUS RedAvDispatchDeviceControl(PDEVICE_OBJECT, PIRP Irp)
{
    return RedAvDispatchReadWrite(nullptr, Irp);
}
