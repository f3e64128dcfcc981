// The volume record's shared state: the table of volumes, its lock, the mount mutex and the
// stored driver object, and the teardown of one record.
#include "devext.h"
#include "supportex.h"

#include <string.h>

PDEVICE_EXTENSION g_VirtualDiskList[REDAV_VOLUME_SLOTS];
KSPIN_LOCK g_VirtualDiskListLock;
KMUTEX g_MountMutex;
PDRIVER_OBJECT g_VirtualDiskDriverObject;
WCHAR g_VirtualDiskParametersKey[260];

namespace {

VOID _StopWorker(PDEVICE_EXTENSION DevExt)
{
    if (DevExt->ThreadHandle == nullptr) {
        return; // never started: no event to signal, nothing to wait for
    }
    DevExt->Terminate = TRUE;
    KeSetEvent(&DevExt->RequestEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(DevExt->ThreadHandle, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(DevExt->ThreadHandle);
    DevExt->ThreadHandle = nullptr;
}

VOID _FreeVolumeBlock(PVOID* Block)
{
    if (*Block != nullptr) {
        ExFreePoolWithTag(*Block, REDAV_VOLUME_POOL_TAG);
        *Block = nullptr;
    }
}

} // namespace

NTSTATUS File_Initialize(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath)
{
    g_VirtualDiskDriverObject = DriverObject;
    // A path that does not fit is not used: a cut one names another key.
    RtlZeroMemory(g_VirtualDiskParametersKey, sizeof(g_VirtualDiskParametersKey));
    if (RegistryPath != nullptr && RegistryPath->Buffer != nullptr &&
        (!NT_SUCCESS(SupportEx_StringCopyN(g_VirtualDiskParametersKey,
                                           ARRAYSIZE(g_VirtualDiskParametersKey),
                                           RegistryPath->Buffer, RegistryPath->Length / 2)) ||
         !NT_SUCCESS(SupportEx_StringCat(g_VirtualDiskParametersKey,
                                         ARRAYSIZE(g_VirtualDiskParametersKey),
                                         u"\\Parameters")))) {
        g_VirtualDiskParametersKey[0] = 0;
    }
    KeInitializeSpinLock(&g_VirtualDiskListLock);
    KeInitializeMutex(&g_MountMutex, 0);
    return STATUS_SUCCESS;
}

PUNICODE_STRING VirtualDisk_AllocateCountedString(PCWSTR Text, SIZE_T Characters)
{
    // Length must fit a USHORT together with the terminator counted in MaximumLength.
    if (Characters > (MAXUSHORT - sizeof(WCHAR)) / sizeof(WCHAR)) {
        return nullptr;
    }
    SIZE_T bytes = Characters * sizeof(WCHAR);
    auto counted = (PUNICODE_STRING)ExAllocatePoolWithTag(
        NonPagedPool, sizeof(UNICODE_STRING) + bytes + sizeof(WCHAR), REDAV_VOLUME_POOL_TAG);
    if (counted == nullptr) {
        return nullptr;
    }
    counted->Length = (USHORT)bytes;
    counted->MaximumLength = (USHORT)(bytes + sizeof(WCHAR));
    counted->Buffer = (PWSTR)(counted + 1);
    if (bytes != 0) {
        memcpy(counted->Buffer, Text, bytes);
    }
    counted->Buffer[Characters] = 0;
    return counted;
}

VOID DestroyVirtualDisk(PDEVICE_EXTENSION DevExt)
{
    PAGED_CODE();
    if (DevExt == nullptr) {
        return;
    }
    DevExt->Started = FALSE;
    // Queries copy the record's strings under the table's lock: the slot goes first, so none can
    // reach the strings once they are freed.
    ULONG slot = (ULONG)(DevExt->VolumeLetter - u'A');
    KIRQL irql;
    KeAcquireSpinLock(&g_VirtualDiskListLock, &irql);
    // A failed mount at a letter that another volume holds must leave that volume registered.
    if (slot < REDAV_VOLUME_SLOTS && g_VirtualDiskList[slot] == DevExt) {
        g_VirtualDiskList[slot] = nullptr;
    }
    KeReleaseSpinLock(&g_VirtualDiskListLock, irql);

    _StopWorker(DevExt);
    if (DevExt->FileHandle != nullptr) {
        ZwClose(DevExt->FileHandle);
        DevExt->FileHandle = nullptr;
    }
    if (DevExt->HasClientContext) {
        SeDeleteClientSecurity(&DevExt->ClientContext);
        DevExt->HasClientContext = FALSE;
    }
    _FreeVolumeBlock((PVOID*)&DevExt->EncryptSectors);
    _FreeVolumeBlock((PVOID*)&DevExt->BlowFish);
    _FreeVolumeBlock((PVOID*)&DevExt->DeviceName);
    _FreeVolumeBlock((PVOID*)&DevExt->FilePath);

    // The record lives in the device's extension: nothing of it may be touched after this.
    if (DevExt->DeviceObject != nullptr) {
        IoDeleteDevice(DevExt->DeviceObject);
    }
}
