// Driver entry, the dispatch routine of every major function and unload.
#include "main.h"

#include "iocontrol.h"
#include "klog.h"
#include "supportex.h"

#include "virtualdisk.h"
#include "diskrw.h"

namespace {

HANDLE g_DirectoryHandle = nullptr;
bool g_DiskRWInitialized = false;
bool g_FileInitialized = false;

NTSTATUS CreateVolumeDirectory()
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, REDAV_VOLUME_DIRECTORY_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr,
                               nullptr);
    return ZwCreateDirectoryObject(&g_DirectoryHandle, DIRECTORY_ALL_ACCESS, &attributes);
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    PAGED_CODE();
    DBG_TRACE("[redav] DriverEntry()");
    SupportEx_Initialize();

    NTSTATUS status = CreateVolumeDirectory();
    if (!NT_SUCCESS(status)) {
        g_DirectoryHandle = nullptr;
        DBG_TRACE("[redav] ZwCreateDirectoryObject failed!(status=0x%08x)", status);
        RedAvUnload(DriverObject);
        return status;
    }
    status = DiskRW_Initialize();
    if (!NT_SUCCESS(status)) {
        DBG_TRACE("[redav] DiskRW_Initialize failed!(status=0x%08x)", status);
        RedAvUnload(DriverObject);
        return status;
    }
    g_DiskRWInitialized = true;
    status = File_Initialize(DriverObject, RegistryPath);
    if (!NT_SUCCESS(status)) {
        DBG_TRACE("[redav] File_Initialize failed!(status=0x%08x)", status);
        RedAvUnload(DriverObject);
        return status;
    }
    g_FileInitialized = true;

    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) {
        DriverObject->MajorFunction[i] = RedAvDispatch;
    }
    DriverObject->DriverUnload = RedAvUnload;

    status = CreateControlDevice(DriverObject);
    if (!NT_SUCCESS(status)) {
        DBG_TRACE("[redav] CreateControlDevice failed!(status=0x%08x)", status);
        RedAvUnload(DriverObject);
        return status;
    }

    if (KLogStart(RegistryPath)) {
        KLOG_INFO(u"[redav] Driver Start!");
    } else {
        DBG_TRACE("[redav] KLogStart failed!");
    }
    return STATUS_SUCCESS;
}

NTSTATUS RedAvDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
    if (IsControlDevice(DeviceObject)) {
        switch (major) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            return CompleteRequest(Irp, STATUS_SUCCESS);
        case IRP_MJ_DEVICE_CONTROL:
            return DeviceIoControl(DeviceObject, Irp);
        default:
            return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
        }
    }
    switch (major) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return CompleteRequest(Irp, STATUS_SUCCESS);
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
        // Only volume devices carry an extension; anything else has no queue to go to.
        if (DeviceObject->DeviceExtension == nullptr) {
            return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
        }
        return major == IRP_MJ_DEVICE_CONTROL ? RedAvDispatchDeviceControl(DeviceObject, Irp)
                                              : RedAvDispatchReadWrite(DeviceObject, Irp);
    default:
        return CompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

VOID RedAvUnload(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
    KLogStop();
    DeleteControlDevice();
    if (g_FileInitialized) {
        File_Uninitialize();
        g_FileInitialized = false;
    }
    if (g_DiskRWInitialized) {
        DiskRW_Uninitialize();
        g_DiskRWInitialized = false;
    }
    if (g_DirectoryHandle != nullptr) {
        ZwMakeTemporaryObject(g_DirectoryHandle);
        ZwClose(g_DirectoryHandle);
        g_DirectoryHandle = nullptr;
    }
    SupportEx_Uninitialize();
    DBG_TRACE("[redav] Unload()");
}
