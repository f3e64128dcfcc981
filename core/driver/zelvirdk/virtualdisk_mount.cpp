// The mount and dismount entry points, the one-shot mount thread, and the three mount sequences.
//
// The sequences share their opening steps (the letter is free for the volume, the requester is
// within its cap, the device exists and its container is created or opened) and their closing
// steps (the mount manager learns of the volume and it is registered, or it is torn down); what
// lies between is each sequence's own. Shared steps write their records with the sequence's
// routine as the source.
#include "virtualdisk_internal.h"

#include "diskrw.h"
#include "klog.h"
#include "supportex.h"

namespace {

// SeImpersonatePrivilege: the mount thread impersonates the requesting user to open the
// container, which the system process may do only with it enabled.
constexpr ULONG SE_IMPERSONATE_PRIVILEGE_LUID = 29;

VOID MountThreadRoutine(PVOID Context)
{
    PMOUNT_REQUEST Request = static_cast<PMOUNT_REQUEST>(Context);
    BOOLEAN Result = FALSE;
    // What this thread logs is the requester's.
    Requester_ActFor(&Request->Requester);
    if (Request->Operation != MountOperationDisMount)
        SupportEx_AdjustPrivilege(SE_IMPERSONATE_PRIVILEGE_LUID, TRUE);
    switch (Request->Operation) {
    case MountOperationCDROM:
        Result = _MountCDROM(Request);
        break;
    case MountOperationNewDisk:
        Result = _MountNewDisk(Request);
        break;
    case MountOperationExistDisk:
        Result = _MountExistDisk(Request);
        break;
    case MountOperationDisMount:
        Result = _DisMount(Request);
        break;
    default:
        break;
    }
    Request->Result = Result;
    Requester_StopActing();
    KeSetEvent(&Request->Done, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

BOOLEAN _StartMountThread(PMOUNT_REQUEST Request)
{
    PAGED_CODE();
    KeInitializeEvent(&Request->Done, NotificationEvent, FALSE);
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE ThreadHandle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&ThreadHandle, THREAD_ALL_ACCESS, &Attributes, nullptr,
                                           nullptr, MountThreadRoutine, Request);
    if (!NT_SUCCESS(status)) {
        KLOG_ERROR(u"[redav] PsCreateSystemThread failed!(status=0x%08x)", status);
        return FALSE;
    }
    PVOID Thread = nullptr;
    status = ObReferenceObjectByHandle(ThreadHandle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       &Thread, nullptr);
    if (NT_SUCCESS(status)) {
        KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(Thread);
    } else {
        KLOG_ERROR(u"[redav] ObReferenceObjectByHandle failed!(status=0x%08x)", status);
        // The request lives in this frame: the thread must be done with it before we return.
        KeWaitForSingleObject(&Request->Done, Executive, KernelMode, FALSE, nullptr);
    }
    ZwClose(ThreadHandle);
    return NT_SUCCESS(status);
}

// The security of the thread that asked for the mount: the container is opened with the
// requesting user's rights, never with the service's.
NTSTATUS CaptureClientContext(PSECURITY_CLIENT_CONTEXT ClientContext)
{
    SECURITY_QUALITY_OF_SERVICE Qos;
    RtlZeroMemory(&Qos, sizeof(Qos));
    Qos.Length = sizeof(Qos);
    Qos.ImpersonationLevel = SecurityImpersonation;
    Qos.ContextTrackingMode = SECURITY_STATIC_TRACKING;
    Qos.EffectiveOnly = FALSE;
    return SeCreateClientSecurity(PsGetCurrentThread(), &Qos, FALSE, ClientContext);
}

// Hands the request to a mount thread and waits for it, in the requesting thread. Routine, the
// entry point, is the source of the records written here.
BOOLEAN RunMountRequest(PMOUNT_REQUEST Request, PNTSTATUS Status, PCSTR Routine)
{
    Request->Status = STATUS_UNSUCCESSFUL;
    BOOLEAN Result = FALSE;
    SECURITY_CLIENT_CONTEXT ClientContext;
    RtlZeroMemory(&ClientContext, sizeof(ClientContext));
    NTSTATUS status = STATUS_SUCCESS;
    if (!Requester_Identify(&Request->Requester)) {
        KLOG_ERROR_FOR(Routine, u"[redav] SeQueryInformationToken failed!");
    } else if (Request->Operation != MountOperationDisMount &&
               !NT_SUCCESS(status = CaptureClientContext(&ClientContext))) {
        KLOG_ERROR_FOR(Routine, u"[redav] SeCreateClientSecurity failed!(status=0x%08x)", status);
    } else {
        if (Request->Operation != MountOperationDisMount)
            Request->ClientContext = &ClientContext;
        BOOLEAN Started = _StartMountThread(Request);
        if (Request->ClientContext && !Request->ClientContextTaken)
            SeDeleteClientSecurity(&ClientContext);
        if (Started)
            Result = Request->Result;
        else
            KLOG_ERROR_FOR(Routine, u"[redav] _StartMountThread failed!");
    }
    if (Status)
        *Status = Result ? STATUS_SUCCESS : Request->Status;
    return Result;
}

// The cap on one requester's volumes: REDAV_DEFAULT_USER_VOLUMES unless the registry says
// otherwise (written back where it says nothing).
ULONG VolumesPerUser()
{
    ULONG Cap = REDAV_DEFAULT_USER_VOLUMES;
    if (g_VirtualDiskParametersKey[0] != 0 &&
        !NT_SUCCESS(Reg_ReadDword(g_VirtualDiskParametersKey, REDAV_USER_VOLUMES_VALUE, &Cap))) {
        Cap = REDAV_DEFAULT_USER_VOLUMES;
        Reg_WriteDword(g_VirtualDiskParametersKey, REDAV_USER_VOLUMES_VALUE, Cap);
    }
    return Cap;
}

// The requester's volumes; the count and a registration that follows share the mount mutex.
ULONG VolumesOf(const REDAV_REQUESTER* Requester)
{
    ULONG Held = 0;
    KIRQL OldIrql;
    KeAcquireSpinLock(&g_VirtualDiskListLock, &OldIrql);
    for (PDEVICE_EXTENSION DevExt : g_VirtualDiskList) {
        if (DevExt && Requester_Is(Requester, DevExt->OwnerSid))
            ++Held;
    }
    KeReleaseSpinLock(&g_VirtualDiskListLock, OldIrql);
    return Held;
}

// What a mount sequence builds: the kind of volume, and whether its container is created.
struct VOLUME_SHAPE {
    BOOLEAN IsCDROM;
    BOOLEAN IsReadOnly;
    BOOLEAN IsEncrypt;
    BOOLEAN IsCreate;
};

// The opening steps of a mount sequence (Routine, the source of the records), under the mount
// mutex. A volume of the other kind at the letter refuses the mount here: its device name
// differs, so the device creation would not notice it; one of the same kind makes the device
// creation fail. Returns the record with its container open, or null (logged, nothing left).
PDEVICE_EXTENSION BeginMount(PMOUNT_REQUEST Request, const VOLUME_SHAPE& Shape, PCSTR Routine)
{
    PDEVICE_EXTENSION Present = _LookupVirtualDisk(Request->VolumeLetter);
    if (Present && Present->IsCDROM != Shape.IsCDROM) {
        KLOG_ERROR_FOR(Routine, u"[redav] VolumeLetter is in use!(VolumeLetter=%C)",
                       Request->VolumeLetter);
        return nullptr;
    }
    if (!Request->Requester.IsPrivileged) {
        ULONG Cap = VolumesPerUser();
        if (VolumesOf(&Request->Requester) >= Cap) {
            KLOG_WARNING_FOR(Routine,
                             u"[redav] Too many volumes for one user!(VolumeLetter=%C, "
                             u"MaxVolumesPerUser=%u)",
                             Request->VolumeLetter, Cap);
            Request->Status = STATUS_QUOTA_EXCEEDED;
            return nullptr;
        }
    }
    PDEVICE_EXTENSION DevExt =
        _CreateVirtualDiskDevice(Request, Shape.IsCDROM, Shape.IsReadOnly, Shape.IsEncrypt);
    if (!DevExt) {
        KLOG_ERROR_FOR(Routine, u"[redav] _CreateVirtualDiskDevice failed!");
        return nullptr;
    }
    DevExt->FileHandle =
        _CreateOrOpenVirtualDiskFile(DevExt, Shape.IsCreate, Request->DiskSize, Request->NoSparse);
    if (!DevExt->FileHandle) {
        KLOG_ERROR_FOR(Routine, u"[redav] _CreateOrOpenVirtualDiskFile failed!");
        DestroyVirtualDisk(DevExt);
        return nullptr;
    }
    return DevExt;
}

// The closing steps of a mount sequence: a Ready volume is announced to the mount manager and
// registered in its slot; any other ends torn down. Returns whether the volume is mounted.
BOOLEAN EndMount(PDEVICE_EXTENSION DevExt, BOOLEAN Ready, PCSTR Routine)
{
    if (Ready) {
        // Announced on behalf of the requester, so that what the system makes of the volume
        // (its block file, its file system) is the requester's.
        NTSTATUS impersonated = SeImpersonateClientEx(&DevExt->ClientContext, nullptr);
        NTSTATUS status = _MountManagerMount(DevExt);
        if (NT_SUCCESS(impersonated))
            PsRevertToSelf();
        if (!NT_SUCCESS(status)) {
            KLOG_ERROR_FOR(Routine, u"[redav] _MountManagerMount failed!");
            Ready = FALSE;
        }
    }
    if (Ready) {
        KIRQL OldIrql;
        KeAcquireSpinLock(&g_VirtualDiskListLock, &OldIrql);
        PDEVICE_EXTENSION* Slot = &g_VirtualDiskList[DevExt->VolumeLetter - u'A'];
        // The mount mutex keeps the slot as BeginMount found it; a volume there is a fault.
        BOOLEAN Free = *Slot == nullptr;
        if (Free)
            *Slot = DevExt;
        KeReleaseSpinLock(&g_VirtualDiskListLock, OldIrql);
        if (Free)
            return TRUE;
        KLOG_ERROR_FOR(Routine, u"[redav] VolumeLetter is in use!(VolumeLetter=%C)",
                       DevExt->VolumeLetter);
        _MountManagerDismount(DevExt);
    }
    DestroyVirtualDisk(DevExt);
    return FALSE;
}

} // namespace

BOOLEAN IsValidFirstSector(const UCHAR* Sector)
{
    if (RtlCompareMemory(Sector + 3, "NTFS", 4) == 4 ||
        RtlCompareMemory(Sector + 82, "FAT3", 4) == 4 ||
        RtlCompareMemory(Sector + 54, "FAT1", 4) == 4)
        return TRUE;
    for (ULONG i = 0; i < REDAV_HIDDEN_SECTOR_SIZE; ++i) {
        if (Sector[i] != 0)
            return FALSE;
    }
    return TRUE;
}

BOOLEAN _MountNewDisk(PMOUNT_REQUEST Request)
{
    PAGED_CODE();
    MountMutexHold Hold;
    PDEVICE_EXTENSION DevExt =
        BeginMount(Request, {FALSE, FALSE, Request->IsEncrypt, TRUE}, __func__);
    if (!DevExt)
        return FALSE;
    BOOLEAN Ready = FALSE;
    do {
        NTSTATUS status = _WriteHiddenSector(DevExt->FileHandle, 0, DevExt->HeaderSector);
        if (!NT_SUCCESS(status)) {
            KLOG_ERROR(u"[redav] ZwWriteFile(HeaderSector) failed!(status=0x%08x)", status);
            break;
        }
        UCHAR FirstSector[DISKRW_SECTOR_SIZE];
        RtlZeroMemory(FirstSector, sizeof(FirstSector));
        status = DiskRW_Write(DevExt, REDAV_HIDDEN_SECTOR_SIZE, FirstSector, sizeof(FirstSector));
        if (!NT_SUCCESS(status)) {
            KLOG_ERROR(u"[redav] DiskRW_Write(DiskFirstSector) failed!(status=0x%08x)", status);
            break;
        }
        status = _WriteHiddenSector(
            DevExt->FileHandle, Request->DiskSize + REDAV_HIDDEN_SECTOR_SIZE, DevExt->TailSector);
        if (!NT_SUCCESS(status)) {
            KLOG_ERROR(u"[redav] ZwWriteFile(TailSector) failed!(status=0x%08x)", status);
            break;
        }
        Ready = TRUE;
    } while (false);
    return EndMount(DevExt, Ready, __func__);
}

BOOLEAN _MountExistDisk(PMOUNT_REQUEST Request)
{
    PAGED_CODE();
    MountMutexHold Hold;
    PDEVICE_EXTENSION DevExt =
        BeginMount(Request, {FALSE, Request->IsReadOnly, Request->IsEncrypt, FALSE}, __func__);
    if (!DevExt)
        return FALSE;
    BOOLEAN Ready = FALSE;
    do {
        NTSTATUS status = _ReadHiddenSector(DevExt->FileHandle, 0, DevExt->HeaderSector);
        if (!NT_SUCCESS(status)) {
            KLOG_ERROR(u"[redav] ZwReadFile(HeaderSector) failed!(status=0x%08x)", status);
            break;
        }
        UCHAR FirstSector[DISKRW_SECTOR_SIZE];
        status = DiskRW_Read(DevExt, REDAV_HIDDEN_SECTOR_SIZE, FirstSector, sizeof(FirstSector));
        if (!NT_SUCCESS(status)) {
            KLOG_ERROR(u"[redav] DiskRW_Read(DiskFirstSector) failed!(status=0x%08x)", status);
            break;
        }
        status = _ReadHiddenSector(DevExt->FileHandle, DevExt->FileSize + REDAV_HIDDEN_SECTOR_SIZE,
                                   DevExt->TailSector);
        if (!NT_SUCCESS(status)) {
            KLOG_ERROR(u"[redav] ZwReadFile(TailSector) failed!(status=0x%08x)", status);
            break;
        }
        BOOLEAN Valid = IsValidFirstSector(FirstSector);
        RtlZeroMemory(FirstSector, sizeof(FirstSector));
        if (!Valid) {
            KLOG_ERROR(u"[redav] VirtualDiskFile isn't validate!");
            break;
        }
        Ready = TRUE;
    } while (false);
    return EndMount(DevExt, Ready, __func__);
}

BOOLEAN _MountCDROM(PMOUNT_REQUEST Request)
{
    PAGED_CODE();
    MountMutexHold Hold;
    // Nothing is read from an image at mount.
    PDEVICE_EXTENSION DevExt = BeginMount(Request, {TRUE, TRUE, FALSE, FALSE}, __func__);
    return DevExt && EndMount(DevExt, TRUE, __func__);
}

BOOLEAN VirtualDisk_MountCDROM(WCHAR Letter, PWSTR FilePath, PNTSTATUS Status)
{
    PAGED_CODE();
    MOUNT_REQUEST Request;
    RtlZeroMemory(&Request, sizeof(Request));
    Request.Operation = MountOperationCDROM;
    Request.VolumeLetter = SupportEx_UpcaseLetter(Letter);
    Request.FilePath = FilePath;
    return RunMountRequest(&Request, Status, __func__);
}

BOOLEAN VirtualDisk_MountNewDisk(WCHAR Letter, PWSTR FilePath, LONGLONG DiskSize, BOOLEAN NoSparse,
                                 BOOLEAN IsEncrypt, PUCHAR Key, ULONG KeyLength, PNTSTATUS Status)
{
    PAGED_CODE();
    MOUNT_REQUEST Request;
    RtlZeroMemory(&Request, sizeof(Request));
    Request.Operation = MountOperationNewDisk;
    Request.VolumeLetter = SupportEx_UpcaseLetter(Letter);
    Request.FilePath = FilePath;
    Request.DiskSize = DiskSize;
    Request.NoSparse = NoSparse;
    Request.IsEncrypt = IsEncrypt;
    Request.Key = Key;
    Request.KeyLength = KeyLength;
    return RunMountRequest(&Request, Status, __func__);
}

BOOLEAN VirtualDisk_MountExistDisk(WCHAR Letter, PWSTR FilePath, BOOLEAN IsReadOnly,
                                   BOOLEAN IsEncrypt, PUCHAR Key, ULONG KeyLength, PNTSTATUS Status)
{
    PAGED_CODE();
    MOUNT_REQUEST Request;
    RtlZeroMemory(&Request, sizeof(Request));
    Request.Operation = MountOperationExistDisk;
    Request.VolumeLetter = SupportEx_UpcaseLetter(Letter);
    Request.FilePath = FilePath;
    Request.IsReadOnly = IsReadOnly;
    Request.IsEncrypt = IsEncrypt;
    Request.Key = Key;
    Request.KeyLength = KeyLength;
    return RunMountRequest(&Request, Status, __func__);
}

BOOLEAN VirtualDisk_DisMount(WCHAR Letter, BOOLEAN Force, PNTSTATUS Status)
{
    PAGED_CODE();
    MOUNT_REQUEST Request;
    RtlZeroMemory(&Request, sizeof(Request));
    Request.Operation = MountOperationDisMount;
    Request.VolumeLetter = SupportEx_UpcaseLetter(Letter);
    Request.Force = Force;
    return RunMountRequest(&Request, Status, __func__);
}
