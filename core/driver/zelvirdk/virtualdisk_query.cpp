// The per-letter operations of the control requests: describe a volume, set its access state,
// read and write its hidden sectors.
#include "virtualdisk_internal.h"

#include "klog.h"
#include "supportex.h"

namespace {

BOOLEAN IsVolumeLetter(WCHAR Letter)
{
    return Letter >= u'D' && Letter <= u'Z';
}

VOID CopyCounted(PWSTR Dest, SIZE_T DestChars, PCUNICODE_STRING Source)
{
    if (!Source)
        return;
    SIZE_T Chars = Source->Length / sizeof(WCHAR);
    if (Chars >= DestChars)
        Chars = DestChars - 1;
    RtlCopyMemory(Dest, Source->Buffer, Chars * sizeof(WCHAR));
}

// Reports Outcome where the caller asked for it; TRUE only for success.
BOOLEAN Report(PNTSTATUS Status, NTSTATUS Outcome)
{
    if (Status)
        *Status = Outcome;
    return NT_SUCCESS(Outcome);
}

} // namespace

PDEVICE_EXTENSION _LookupVirtualDisk(WCHAR Letter)
{
    if (!IsVolumeLetter(Letter))
        return nullptr;
    KIRQL OldIrql;
    KeAcquireSpinLock(&g_VirtualDiskListLock, &OldIrql);
    PDEVICE_EXTENSION DevExt = g_VirtualDiskList[Letter - u'A'];
    KeReleaseSpinLock(&g_VirtualDiskListLock, OldIrql);
    return DevExt;
}

BOOLEAN VirtualDisk_QueryVolume(WCHAR Letter, PREDAV_VOLUME_INFO Info)
{
    Letter = SupportEx_UpcaseLetter(Letter);
    if (!IsVolumeLetter(Letter))
        return FALSE;
    REDAV_REQUESTER Requester;
    Requester_Identify(&Requester);
    BOOLEAN Found = FALSE;
    KIRQL OldIrql;
    KeAcquireSpinLock(&g_VirtualDiskListLock, &OldIrql);
    PDEVICE_EXTENSION DevExt = g_VirtualDiskList[Letter - u'A'];
    if (DevExt) {
        // Letters are one namespace for every user: anyone learns that a letter is taken, by
        // what kind of volume and of which size, but only its owner where it comes from and how
        // it is used.
        RtlZeroMemory(Info, sizeof(*Info));
        Info->VolumeLetter = DevExt->VolumeLetter;
        CopyCounted(Info->DeviceName, REDAV_PATH_CHARS, DevExt->DeviceName);
        Info->FileSize = DevExt->FileSize;
        Info->IsCDROM = DevExt->IsCDROM;
        Info->IsReadOnly = DevExt->IsCDROM;
        if (Requester_MayActOn(&Requester, DevExt->OwnerSid)) {
            CopyCounted(Info->FilePath, sizeof(Info->FilePath) / sizeof(WCHAR), DevExt->FilePath);
            Info->IsReadOnly = DevExt->IsReadOnly;
            Info->IsEncrypt = DevExt->IsEncrypt;
            Info->VolumeRWStatus = DevExt->VolumeRWStatus;
        }
        Found = TRUE;
    }
    KeReleaseSpinLock(&g_VirtualDiskListLock, OldIrql);
    return Found;
}

BOOLEAN VirtualDisk_SetVolumeRWStatus(WCHAR Letter, ULONG VolumeRWStatus, PNTSTATUS Status)
{
    Letter = SupportEx_UpcaseLetter(Letter);
    if (!IsVolumeLetter(Letter))
        return Report(Status, STATUS_UNSUCCESSFUL);
    if (VolumeRWStatus > DENY) {
        KLOG_ERROR(u"[redav] Volume VolumeRWStatus Invalidate.(VolumeLetter=%C, VolumeRWStatus=%d)",
                   Letter, VolumeRWStatus);
        return Report(Status, STATUS_UNSUCCESSFUL);
    }
    REDAV_REQUESTER Requester;
    Requester_Identify(&Requester);
    NTSTATUS Outcome = STATUS_UNSUCCESSFUL;
    KIRQL OldIrql;
    KeAcquireSpinLock(&g_VirtualDiskListLock, &OldIrql);
    PDEVICE_EXTENSION DevExt = g_VirtualDiskList[Letter - u'A'];
    if (DevExt && !Requester_MayActOn(&Requester, DevExt->OwnerSid)) {
        Outcome = STATUS_ACCESS_DENIED;
    } else if (DevExt) {
        DevExt->VolumeRWStatus = VolumeRWStatus;
        Outcome = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&g_VirtualDiskListLock, OldIrql);
    if (Outcome == STATUS_ACCESS_DENIED)
        KLOG_WARNING(REDAV_FOREIGN_VOLUME_RECORD, Letter);
    return Report(Status, Outcome);
}

BOOLEAN VirtualDisk_QueryHideSector(WCHAR Letter, PREDAV_HIDE_SECTOR_DATA Data, PNTSTATUS Status)
{
    Letter = SupportEx_UpcaseLetter(Letter);
    if (!IsVolumeLetter(Letter))
        return Report(Status, STATUS_UNSUCCESSFUL);
    REDAV_REQUESTER Requester;
    Requester_Identify(&Requester);
    NTSTATUS Outcome = STATUS_UNSUCCESSFUL;
    KIRQL OldIrql;
    KeAcquireSpinLock(&g_VirtualDiskListLock, &OldIrql);
    PDEVICE_EXTENSION DevExt = g_VirtualDiskList[Letter - u'A'];
    if (DevExt && !Requester_MayActOn(&Requester, DevExt->OwnerSid)) {
        Outcome = STATUS_ACCESS_DENIED;
    } else if (DevExt) {
        RtlZeroMemory(Data, sizeof(*Data));
        Data->VolumeLetter = DevExt->VolumeLetter;
        RtlCopyMemory(Data->HeaderSector, DevExt->HeaderSector, REDAV_HIDDEN_SECTOR_SIZE);
        RtlCopyMemory(Data->TailSector, DevExt->TailSector, REDAV_HIDDEN_SECTOR_SIZE);
        Outcome = STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&g_VirtualDiskListLock, OldIrql);
    if (Outcome == STATUS_ACCESS_DENIED)
        KLOG_WARNING(REDAV_FOREIGN_VOLUME_RECORD, Letter);
    return Report(Status, Outcome);
}

BOOLEAN VirtualDisk_HideSectorSetting(WCHAR Letter, PREDAV_HIDE_SECTOR_DATA Data, PNTSTATUS Status)
{
    PAGED_CODE();
    Letter = SupportEx_UpcaseLetter(Letter);
    if (!IsVolumeLetter(Letter))
        return Report(Status, STATUS_UNSUCCESSFUL);
    REDAV_REQUESTER Requester;
    Requester_Identify(&Requester);
    // The writes run outside the spin lock: the mount mutex keeps a dismount from tearing the
    // volume down under them, and its owner from changing.
    MountMutexHold Hold;
    NTSTATUS Outcome = STATUS_UNSUCCESSFUL;
    PDEVICE_EXTENSION DevExt = _LookupVirtualDisk(Letter);
    if (DevExt && !Requester_MayActOn(&Requester, DevExt->OwnerSid)) {
        KLOG_WARNING(REDAV_FOREIGN_VOLUME_RECORD, Letter);
        Outcome = STATUS_ACCESS_DENIED;
    } else if (DevExt) {
        // The request buffer is the caller's; write from a copy so it stays as sent.
        UCHAR Header[REDAV_HIDDEN_SECTOR_SIZE];
        UCHAR Tail[REDAV_HIDDEN_SECTOR_SIZE];
        RtlCopyMemory(Header, Data->HeaderSector, sizeof(Header));
        RtlCopyMemory(Tail, Data->TailSector, sizeof(Tail));
        NTSTATUS status = _WriteHiddenSector(DevExt->FileHandle, 0, Header);
        if (!NT_SUCCESS(status)) {
            KLOG_ERROR(u"[redav] ZwWriteFile(HeaderSector) failed!(status=0x%08x)", status);
        } else {
            status = _WriteHiddenSector(DevExt->FileHandle,
                                        DevExt->FileSize + REDAV_HIDDEN_SECTOR_SIZE, Tail);
            if (!NT_SUCCESS(status))
                KLOG_ERROR(u"[redav] ZwWriteFile(TailSector) failed!(status=0x%08x)", status);
        }
        if (NT_SUCCESS(status)) {
            KIRQL OldIrql;
            KeAcquireSpinLock(&g_VirtualDiskListLock, &OldIrql);
            RtlCopyMemory(DevExt->HeaderSector, Header, sizeof(Header));
            RtlCopyMemory(DevExt->TailSector, Tail, sizeof(Tail));
            KeReleaseSpinLock(&g_VirtualDiskListLock, OldIrql);
            Outcome = STATUS_SUCCESS;
        }
    }
    return Report(Status, Outcome);
}
