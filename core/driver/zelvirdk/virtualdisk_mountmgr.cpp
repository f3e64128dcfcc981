// Announcing volumes to the mount manager, dismounting them with retries, and the layer's
// shutdown.
#include "virtualdisk_internal.h"

#include <mountmgr.h>

#include "klog.h"
#include "supportex.h"

namespace {

constexpr int DISMOUNT_ATTEMPTS = 10;
constexpr ULONG DISMOUNT_WAIT_MS = 50;
constexpr ULONG MOUNTMGR_BUFFER_SIZE = 512;
// "\DosDevices\X:" is 14 characters.
constexpr USHORT DOS_LINK_BYTES = 28;
constexpr ULONG VOLUME_OPEN_OPTIONS = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING;
static_assert(VOLUME_OPEN_OPTIONS == 0x28);
static_assert((GENERIC_READ | SYNCHRONIZE) == 0x80100000);

// Writes Format with the letter in place of its one %C (or %c) into Buffer.
VOID LetterName(PWSTR Buffer, SIZE_T Chars, PCWSTR Format, WCHAR Letter)
{
    SIZE_T Length = 0;
    for (PCWSTR p = Format; *p && Length + 1 < Chars; ++p) {
        if (p[0] == u'%' && (p[1] == u'C' || p[1] == u'c')) {
            Buffer[Length++] = Letter;
            ++p;
        } else {
            Buffer[Length++] = *p;
        }
    }
    Buffer[Length] = 0;
}

NTSTATUS SendMountManager(ULONG Code, PVOID Input, ULONG InputLength, PVOID Output,
                          ULONG OutputLength)
{
    return SupportEx_SendDeviceIoControl(MOUNTMGR_DEVICE_NAME, Code, Input, InputLength, Output,
                                         OutputLength);
}

NTSTATUS DosDevicesLink(PUNICODE_STRING Name, PWSTR Buffer, SIZE_T Chars, WCHAR Letter)
{
    LetterName(Buffer, Chars, u"\\DosDevices\\Global\\%C:", Letter);
    RtlInitUnicodeString(Name, Buffer);
    return STATUS_SUCCESS;
}

NTSTATUS FsControl(HANDLE Volume, ULONG Code)
{
    IO_STATUS_BLOCK Iosb;
    return ZwFsControlFile(Volume, nullptr, nullptr, nullptr, &Iosb, Code, nullptr, 0, nullptr, 0);
}

VOID TearDown(PDEVICE_EXTENSION DevExt)
{
    _MountManagerDismount(DevExt);
    DestroyVirtualDisk(DevExt);
}

} // namespace

BOOLEAN IsLetterLinked(WCHAR Letter)
{
    PAGED_CODE();
    WCHAR Buffer[16];
    LetterName(Buffer, 16, u"\\??\\%c:", Letter);
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, Buffer);
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE Link = nullptr;
    if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&Link, GENERIC_READ, &Attributes)))
        return FALSE;
    ZwClose(Link);
    return TRUE;
}

NTSTATUS _MountManagerMount(PDEVICE_EXTENSION DevExt)
{
    PAGED_CODE();
    const USHORT NameBytes = DevExt->DeviceName->Length;
    UCHAR Buffer[MOUNTMGR_BUFFER_SIZE];

    RtlZeroMemory(Buffer, sizeof(Buffer));
    auto* Target = reinterpret_cast<PMOUNTMGR_TARGET_NAME>(Buffer);
    Target->DeviceNameLength = NameBytes;
    RtlCopyMemory(Target->DeviceName, DevExt->DeviceName->Buffer, NameBytes);
    NTSTATUS status = SendMountManager(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION, Buffer,
                                       NameBytes + sizeof(USHORT), nullptr, 0);
    if (!NT_SUCCESS(status))
        KLOG_ERROR(
            u"[redav] SupportEx_SendDeviceIoControl(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION) "
            u"failed!(VolumeLetter=%C, status=0x%08x)",
            DevExt->VolumeLetter, status);
    if (IsLetterLinked(DevExt->VolumeLetter))
        return STATUS_SUCCESS;

    RtlZeroMemory(Buffer, sizeof(Buffer));
    auto* Point = reinterpret_cast<PMOUNTMGR_CREATE_POINT_INPUT>(Buffer);
    Point->SymbolicLinkNameOffset = sizeof(MOUNTMGR_CREATE_POINT_INPUT);
    Point->SymbolicLinkNameLength = DOS_LINK_BYTES;
    Point->DeviceNameOffset = sizeof(MOUNTMGR_CREATE_POINT_INPUT) + DOS_LINK_BYTES;
    Point->DeviceNameLength = NameBytes;
    WCHAR Link[16];
    LetterName(Link, 16, u"\\DosDevices\\%C:", DevExt->VolumeLetter);
    RtlCopyMemory(Buffer + Point->SymbolicLinkNameOffset, Link, DOS_LINK_BYTES);
    RtlCopyMemory(Buffer + Point->DeviceNameOffset, DevExt->DeviceName->Buffer, NameBytes);
    status = SendMountManager(IOCTL_MOUNTMGR_CREATE_POINT, Buffer,
                              Point->DeviceNameOffset + NameBytes, nullptr, 0);
    if (!NT_SUCCESS(status))
        KLOG_ERROR(u"[redav] SupportEx_SendDeviceIoControl(IOCTL_MOUNTMGR_CREATE_POINT) "
                   u"failed!(VolumeLetter=%C, status=0x%08x)",
                   DevExt->VolumeLetter, status);
    if (IsLetterLinked(DevExt->VolumeLetter))
        return STATUS_SUCCESS;

    WCHAR GlobalBuffer[32];
    UNICODE_STRING GlobalLink;
    DosDevicesLink(&GlobalLink, GlobalBuffer, 32, DevExt->VolumeLetter);
    status = IoCreateSymbolicLink(&GlobalLink, DevExt->DeviceName);
    if (!NT_SUCCESS(status))
        KLOG_ERROR(u"[redav] IoCreateSymbolicLink failed!(VolumeLetter=%C, status=0x%08x)",
                   DevExt->VolumeLetter, status);
    return IsLetterLinked(DevExt->VolumeLetter) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

VOID _MountManagerDismount(PDEVICE_EXTENSION DevExt)
{
    PAGED_CODE();
    if (DevExt->VolumeLetter == 0)
        return;
    const USHORT NameBytes = DevExt->DeviceName->Length;
    UCHAR Buffer[MOUNTMGR_BUFFER_SIZE];
    UCHAR Output[MOUNTMGR_BUFFER_SIZE];
    RtlZeroMemory(Buffer, sizeof(Buffer));
    RtlZeroMemory(Output, sizeof(Output));
    auto* Point = reinterpret_cast<PMOUNTMGR_MOUNT_POINT>(Buffer);
    Point->DeviceNameOffset = sizeof(MOUNTMGR_MOUNT_POINT);
    Point->DeviceNameLength = NameBytes;
    RtlCopyMemory(Buffer + sizeof(MOUNTMGR_MOUNT_POINT), DevExt->DeviceName->Buffer, NameBytes);
    NTSTATUS status =
        SendMountManager(IOCTL_MOUNTMGR_DELETE_POINTS, Buffer,
                         sizeof(MOUNTMGR_MOUNT_POINT) + NameBytes, Output, sizeof(Output));
    if (!NT_SUCCESS(status))
        KLOG_ERROR(u"[redav] SupportEx_SendDeviceIoControl(IOCTL_MOUNTMGR_DELETE_POINTS) "
                   u"failed!(VolumeLetter=%C, status=0x%08x)",
                   DevExt->VolumeLetter, status);
    if (IsLetterLinked(DevExt->VolumeLetter)) {
        WCHAR GlobalBuffer[32];
        UNICODE_STRING GlobalLink;
        DosDevicesLink(&GlobalLink, GlobalBuffer, 32, DevExt->VolumeLetter);
        status = IoDeleteSymbolicLink(&GlobalLink);
        if (!NT_SUCCESS(status))
            KLOG_ERROR(u"[redav] IoDeleteSymbolicLink failed!(VolumeLetter=%C, status=0x%08x)",
                       DevExt->VolumeLetter, status);
    }
}

BOOLEAN _DisMountVolume(PDEVICE_EXTENSION DevExt, BOOLEAN Force)
{
    PAGED_CODE();
    if (DevExt->VolumeLetter == 0) {
        KLOG_ERROR(u"[redav] Werid, VolumeLetter is 0x0");
        return FALSE;
    }
    if (!IsLetterLinked(DevExt->VolumeLetter)) {
        KLOG_ERROR(u"[redav] Werid, VolumeLetter is NonExist");
        return FALSE;
    }
    WCHAR Buffer[16];
    LetterName(Buffer, 16, u"\\??\\%C:", DevExt->VolumeLetter);
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, Buffer);
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK Iosb;
    HANDLE Volume = nullptr;
    NTSTATUS status = ZwCreateFile(&Volume, GENERIC_READ | SYNCHRONIZE, &Attributes, &Iosb, nullptr,
                                   0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                   VOLUME_OPEN_OPTIONS, nullptr, 0);
    if (!NT_SUCCESS(status)) {
        KLOG_ERROR(u"[redav] ZwCreateFile failed!(VolumeLetter=%C, status=0x%08x)",
                   DevExt->VolumeLetter, status);
        return FALSE;
    }
    BOOLEAN Dismounted = FALSE;
    do {
        status = FsControl(Volume, FSCTL_LOCK_VOLUME);
        if (!NT_SUCCESS(status)) {
            KLOG_ERROR(u"[redav] ZwFsControlFile(LOCK) failed!(VolumeLetter=%C, status=0x%08x)",
                       DevExt->VolumeLetter, status);
            if (!Force)
                break;
        }
        status = FsControl(Volume, FSCTL_DISMOUNT_VOLUME);
        if (!NT_SUCCESS(status)) {
            KLOG_ERROR(u"[redav] ZwFsControlFile(DISMOUNT) failed!(VolumeLetter=%C, "
                       u"status=0x%08x)",
                       DevExt->VolumeLetter, status);
            break;
        }
        status = FsControl(Volume, FSCTL_UNLOCK_VOLUME);
        if (!NT_SUCCESS(status))
            KLOG_ERROR(u"[redav] ZwFsControlFile(UNLOCK) failed!(VolumeLetter=%C, "
                       u"status=0x%08x)",
                       DevExt->VolumeLetter, status);
        Dismounted = TRUE;
    } while (false);
    ZwClose(Volume);
    return Dismounted;
}

BOOLEAN _DisMount(PMOUNT_REQUEST Request)
{
    PAGED_CODE();
    const WCHAR Letter = SupportEx_UpcaseLetter(Request->VolumeLetter);
    const BOOLEAN Force = Request->Force;
    MountMutexHold Hold;
    BOOLEAN Done = FALSE;
    PDEVICE_EXTENSION DevExt = _LookupVirtualDisk(Letter);
    // The owner does not change while the mount mutex is held.
    if (DevExt && !Requester_MayActOn(&Request->Requester, DevExt->OwnerSid)) {
        KLOG_WARNING(REDAV_FOREIGN_VOLUME_RECORD, Letter);
        Request->Status = STATUS_ACCESS_DENIED;
    } else if (DevExt) {
        for (int Attempt = 0; Attempt < DISMOUNT_ATTEMPTS && !Done; ++Attempt) {
            Done = _DisMountVolume(DevExt, Force);
            if (!Done) {
                KLOG_ERROR(u"[redav] _DisMountVolume failed!(VolumeLetter=%C, Force=%d)", Letter,
                           Force);
                SupportEx_Sleep(DISMOUNT_WAIT_MS);
            }
        }
        if (Done)
            TearDown(DevExt);
        else
            KLOG_ERROR(u"[redav] Max Retry Count Reached! _DisMountVolume failed!(VolumeLetter=%C, "
                       u"Force=%d)",
                       Letter, Force);
    }
    return Done;
}

VOID _DisMountAll()
{
    PAGED_CODE();
    MountMutexHold Hold;
    for (WCHAR Letter = u'A'; Letter <= u'Z'; ++Letter) {
        KIRQL OldIrql;
        KeAcquireSpinLock(&g_VirtualDiskListLock, &OldIrql);
        PDEVICE_EXTENSION DevExt = g_VirtualDiskList[Letter - u'A'];
        KeReleaseSpinLock(&g_VirtualDiskListLock, OldIrql);
        if (!DevExt)
            continue;
        ASSERT(DevExt->VolumeLetter == Letter);
        if (_DisMountVolume(DevExt, FALSE) || _DisMountVolume(DevExt, TRUE))
            TearDown(DevExt);
        else
            KLOG_ERROR(u"[redav] _DisMountVolume failed!(VolumeLetter=%C)", Letter);
    }
}

VOID File_Uninitialize()
{
    PAGED_CODE();
    _DisMountAll();
}
