// The mount and dismount entry points, the one-shot mount thread, and the three mount sequences.
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

// Captures the security of the thread that asked for the mount: the container is opened with
// the requesting user's rights, never with the service's.
BOOLEAN CaptureRequester(PSECURITY_CLIENT_CONTEXT ClientContext)
{
    SECURITY_QUALITY_OF_SERVICE Qos;
    RtlZeroMemory(&Qos, sizeof(Qos));
    Qos.Length = sizeof(Qos);
    Qos.ImpersonationLevel = SecurityImpersonation;
    Qos.ContextTrackingMode = SECURITY_STATIC_TRACKING;
    Qos.EffectiveOnly = FALSE;
    NTSTATUS status = SeCreateClientSecurity(PsGetCurrentThread(), &Qos, FALSE, ClientContext);
    if (!NT_SUCCESS(status)) {
        KLOG_ERROR(u"[redav] SeCreateClientSecurity failed!(status=0x%08x)", status);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN RunMountRequest(PMOUNT_REQUEST Request, PNTSTATUS Status)
{
    Request->Status = STATUS_UNSUCCESSFUL;
    BOOLEAN Result = FALSE;
    SECURITY_CLIENT_CONTEXT ClientContext;
    RtlZeroMemory(&ClientContext, sizeof(ClientContext));
    if (!Requester_Identify(&Request->Requester)) {
        KLOG_ERROR(u"[redav] SeQueryInformationToken failed!");
    } else if (Request->Operation == MountOperationDisMount || CaptureRequester(&ClientContext)) {
        if (Request->Operation != MountOperationDisMount)
            Request->ClientContext = &ClientContext;
        BOOLEAN Started = _StartMountThread(Request);
        if (Request->ClientContext && !Request->ClientContextTaken)
            SeDeleteClientSecurity(&ClientContext);
        if (Started)
            Result = Request->Result;
        else
            KLOG_ERROR(u"[redav] _StartMountThread failed!");
    }
    if (Status)
        *Status = Result ? STATUS_SUCCESS : Request->Status;
    return Result;
}

// FALSE (logged, STATUS_QUOTA_EXCEEDED) when a requester other than root holds as many volumes
// as one user may; the count and the registration that follows share the mount mutex.
BOOLEAN IsWithinVolumeCap(PMOUNT_REQUEST Request)
{
    if (Request->Requester.IsPrivileged)
        return TRUE;
    ULONG Cap = REDAV_DEFAULT_USER_VOLUMES;
    if (g_VirtualDiskParametersKey[0] != 0 &&
        !NT_SUCCESS(Reg_ReadDword(g_VirtualDiskParametersKey, REDAV_USER_VOLUMES_VALUE, &Cap))) {
        Cap = REDAV_DEFAULT_USER_VOLUMES;
        Reg_WriteDword(g_VirtualDiskParametersKey, REDAV_USER_VOLUMES_VALUE, Cap);
    }
    ULONG Held = 0;
    KIRQL OldIrql;
    KeAcquireSpinLock(&g_VirtualDiskListLock, &OldIrql);
    for (PDEVICE_EXTENSION DevExt : g_VirtualDiskList) {
        if (DevExt && Requester_Is(&Request->Requester, DevExt->OwnerSid))
            ++Held;
    }
    KeReleaseSpinLock(&g_VirtualDiskListLock, OldIrql);
    if (Held < Cap)
        return TRUE;
    KLOG_WARNING(u"[redav] Too many volumes for one user!(VolumeLetter=%C, MaxVolumesPerUser=%u)",
                 Request->VolumeLetter, Cap);
    Request->Status = STATUS_QUOTA_EXCEEDED;
    return FALSE;
}

// FALSE when the letter's slot already holds a volume (a disk and a CD-ROM image have different
// device names, so device creation would not catch it).
BOOLEAN IsSlotFree(WCHAR Letter)
{
    if (_LookupVirtualDisk(Letter) == nullptr)
        return TRUE;
    KLOG_ERROR(u"[redav] VolumeLetter is in use!(VolumeLetter=%C)", Letter);
    return FALSE;
}

// Stores the record in its slot; FALSE (nothing stored) when a volume arrived there meanwhile.
BOOLEAN RegisterVirtualDisk(PDEVICE_EXTENSION DevExt)
{
    KIRQL OldIrql;
    KeAcquireSpinLock(&g_VirtualDiskListLock, &OldIrql);
    PDEVICE_EXTENSION* Slot = &g_VirtualDiskList[DevExt->VolumeLetter - u'A'];
    BOOLEAN Stored = *Slot == nullptr;
    if (Stored)
        *Slot = DevExt;
    KeReleaseSpinLock(&g_VirtualDiskListLock, OldIrql);
    if (!Stored)
        KLOG_ERROR(u"[redav] VolumeLetter is in use!(VolumeLetter=%C)", DevExt->VolumeLetter);
    return Stored;
}

NTSTATUS WriteHidden(HANDLE File, LONGLONG Offset, PVOID Sector)
{
    IO_STATUS_BLOCK Iosb;
    LARGE_INTEGER Position;
    Position.QuadPart = Offset;
    return ZwWriteFile(File, nullptr, nullptr, nullptr, &Iosb, Sector, REDAV_HIDDEN_SECTOR_SIZE,
                       &Position, nullptr);
}

NTSTATUS ReadHidden(HANDLE File, LONGLONG Offset, PVOID Sector)
{
    IO_STATUS_BLOCK Iosb;
    LARGE_INTEGER Position;
    Position.QuadPart = Offset;
    return ZwReadFile(File, nullptr, nullptr, nullptr, &Iosb, Sector, REDAV_HIDDEN_SECTOR_SIZE,
                      &Position, nullptr);
}

// Holds the mount mutex for one mount sequence.
struct MountMutexHold {
    MountMutexHold()
    {
        KeWaitForSingleObject(&g_MountMutex, Executive, KernelMode, FALSE, nullptr);
    }
    ~MountMutexHold() { KeReleaseMutex(&g_MountMutex, FALSE); }
    MountMutexHold(const MountMutexHold&) = delete;
    MountMutexHold& operator=(const MountMutexHold&) = delete;
};

// The mount-manager step and the registration that end every mount sequence.
BOOLEAN AnnounceAndRegister(PDEVICE_EXTENSION DevExt)
{
    // Announced on behalf of the requester, so that what the system makes of the volume (its
    // block file, its file system) is the requester's.
    NTSTATUS impersonated = SeImpersonateClientEx(&DevExt->ClientContext, nullptr);
    NTSTATUS status = _MountManagerMount(DevExt);
    if (NT_SUCCESS(impersonated))
        PsRevertToSelf();
    if (!NT_SUCCESS(status)) {
        KLOG_ERROR(u"[redav] _MountManagerMount failed!");
        return FALSE;
    }
    if (!RegisterVirtualDisk(DevExt)) {
        _MountManagerDismount(DevExt);
        return FALSE;
    }
    return TRUE;
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
    if (!IsSlotFree(Request->VolumeLetter) || !IsWithinVolumeCap(Request))
        return FALSE;
    PDEVICE_EXTENSION DevExt = _CreateVirtualDiskDevice(Request, FALSE, FALSE, Request->IsEncrypt);
    if (!DevExt) {
        KLOG_ERROR(u"[redav] _CreateVirtualDiskDevice failed!");
        return FALSE;
    }
    BOOLEAN Mounted = FALSE;
    do {
        DevExt->FileHandle =
            _CreateOrOpenVirtualDiskFile(DevExt, TRUE, Request->DiskSize, Request->NoSparse);
        if (!DevExt->FileHandle) {
            KLOG_ERROR(u"[redav] _CreateOrOpenVirtualDiskFile failed!");
            break;
        }
        NTSTATUS status = WriteHidden(DevExt->FileHandle, 0, DevExt->HeaderSector);
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
        status = WriteHidden(DevExt->FileHandle, Request->DiskSize + REDAV_HIDDEN_SECTOR_SIZE,
                             DevExt->TailSector);
        if (!NT_SUCCESS(status)) {
            KLOG_ERROR(u"[redav] ZwWriteFile(TailSector) failed!(status=0x%08x)", status);
            break;
        }
        Mounted = AnnounceAndRegister(DevExt);
    } while (false);
    if (!Mounted)
        DestroyVirtualDisk(DevExt);
    return Mounted;
}

BOOLEAN _MountExistDisk(PMOUNT_REQUEST Request)
{
    PAGED_CODE();
    MountMutexHold Hold;
    if (!IsSlotFree(Request->VolumeLetter) || !IsWithinVolumeCap(Request))
        return FALSE;
    PDEVICE_EXTENSION DevExt =
        _CreateVirtualDiskDevice(Request, FALSE, Request->IsReadOnly, Request->IsEncrypt);
    if (!DevExt) {
        KLOG_ERROR(u"[redav] _CreateVirtualDiskDevice failed!");
        return FALSE;
    }
    BOOLEAN Mounted = FALSE;
    do {
        DevExt->FileHandle = _CreateOrOpenVirtualDiskFile(DevExt, FALSE, 0, FALSE);
        if (!DevExt->FileHandle) {
            KLOG_ERROR(u"[redav] _CreateOrOpenVirtualDiskFile failed!");
            break;
        }
        NTSTATUS status = ReadHidden(DevExt->FileHandle, 0, DevExt->HeaderSector);
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
        status = ReadHidden(DevExt->FileHandle, DevExt->FileSize + REDAV_HIDDEN_SECTOR_SIZE,
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
        Mounted = AnnounceAndRegister(DevExt);
    } while (false);
    if (!Mounted)
        DestroyVirtualDisk(DevExt);
    return Mounted;
}

BOOLEAN _MountCDROM(PMOUNT_REQUEST Request)
{
    PAGED_CODE();
    MountMutexHold Hold;
    if (!IsSlotFree(Request->VolumeLetter) || !IsWithinVolumeCap(Request))
        return FALSE;
    PDEVICE_EXTENSION DevExt = _CreateVirtualDiskDevice(Request, TRUE, TRUE, FALSE);
    if (!DevExt) {
        KLOG_ERROR(u"[redav] _CreateVirtualDiskDevice failed!");
        return FALSE;
    }
    BOOLEAN Mounted = FALSE;
    DevExt->FileHandle = _CreateOrOpenVirtualDiskFile(DevExt, FALSE, 0, FALSE);
    if (!DevExt->FileHandle)
        KLOG_ERROR(u"[redav] _CreateOrOpenVirtualDiskFile failed!");
    else
        Mounted = AnnounceAndRegister(DevExt);
    if (!Mounted)
        DestroyVirtualDisk(DevExt);
    return Mounted;
}

BOOLEAN VirtualDisk_MountCDROM(WCHAR Letter, PWSTR FilePath, PNTSTATUS Status)
{
    PAGED_CODE();
    MOUNT_REQUEST Request;
    RtlZeroMemory(&Request, sizeof(Request));
    Request.Operation = MountOperationCDROM;
    Request.VolumeLetter = SupportEx_UpcaseLetter(Letter);
    Request.FilePath = FilePath;
    return RunMountRequest(&Request, Status);
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
    return RunMountRequest(&Request, Status);
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
    return RunMountRequest(&Request, Status);
}

BOOLEAN VirtualDisk_DisMount(WCHAR Letter, BOOLEAN Force, PNTSTATUS Status)
{
    PAGED_CODE();
    MOUNT_REQUEST Request;
    RtlZeroMemory(&Request, sizeof(Request));
    Request.Operation = MountOperationDisMount;
    Request.VolumeLetter = SupportEx_UpcaseLetter(Letter);
    Request.Force = Force;
    return RunMountRequest(&Request, Status);
}
