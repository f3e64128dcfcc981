// The volume worker: one thread per volume that serves its queue one request at
// a time.
#include "volume_worker.h"

#include "diskquery.h"
#include "requester.h"
#include "klog.h"
#include "supportex.h"
#include "diskrw.h"
#include "volume_dispatch.h"

namespace {

VOID _CompleteReadWrite(PIRP Irp, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, Boost);
}

// Teardown: Started is already clear, so nothing is appended after this sweep.
VOID _RefuseQueuedRequests(PDEVICE_EXTENSION Ext)
{
    PLIST_ENTRY Entry;
    while ((Entry = ExInterlockedRemoveHeadList(&Ext->RequestQueue, &Ext->QueueLock)) != NULL) {
        PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
        _CompleteReadWrite(Irp, STATUS_ACCESS_DENIED, 0, IO_NO_INCREMENT);
    }
}

PVOID _CallerBuffer(PIRP Irp)
{
    if (!Irp->MdlAddress)
        return Irp->UserBuffer ? Irp->UserBuffer : Irp->AssociatedIrp.SystemBuffer;
    return MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
}

} // namespace

VOID VolumeWorker(PVOID Context)
{
    PAGED_CODE();
    PDEVICE_EXTENSION Ext = static_cast<PDEVICE_EXTENSION>(Context);

    KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
    SupportEx_AdjustPrivilege(VOLUME_WORKER_PRIVILEGE, TRUE);
    // What the worker logs is the volume owner's.
    REDAV_REQUESTER Owner;
    RtlZeroMemory(&Owner, sizeof(Owner));
    if (RtlValidSid(Ext->OwnerSid)) {
        RtlCopyMemory(Owner.Sid, Ext->OwnerSid, sizeof(Owner.Sid));
        Owner.Known = TRUE;
        Requester_ActFor(&Owner);
    }

    for (;;) {
        KeWaitForSingleObject(&Ext->RequestEvent, Executive, KernelMode, FALSE, NULL);
        if (Ext->Terminate) {
            _RefuseQueuedRequests(Ext);
            Requester_StopActing();
            PsTerminateSystemThread(STATUS_SUCCESS);
            return;
        }
        // One signal may stand for many requests.
        PLIST_ENTRY Entry;
        while ((Entry = ExInterlockedRemoveHeadList(&Ext->RequestQueue, &Ext->QueueLock)) != NULL) {
            PIRP Irp = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
            if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL)
                _ProcessIrpDeviceControl(Ext, Irp);
            else
                _ProcessIrpReadWrite(Ext, Irp);
        }
    }
}

VOID _ProcessIrpReadWrite(PDEVICE_EXTENSION Ext, PIRP Irp)
{
    PAGED_CODE();
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    ASSERT(IRP_MJ_READ == IrpSp->MajorFunction || IRP_MJ_WRITE == IrpSp->MajorFunction);

    BOOLEAN bWrite = IrpSp->MajorFunction == IRP_MJ_WRITE;
    LONGLONG Offset = bWrite ? IrpSp->Parameters.Write.ByteOffset.QuadPart
                             : IrpSp->Parameters.Read.ByteOffset.QuadPart;
    ULONG Length = bWrite ? IrpSp->Parameters.Write.Length : IrpSp->Parameters.Read.Length;
    PUCHAR OrigBuf = static_cast<PUCHAR>(_CallerBuffer(Irp));

    if (Length == 0) {
        KLOG_ERROR(u"[redav] Length is Zero!");
        _CompleteReadWrite(Irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
        return;
    }
    if (!OrigBuf) {
        KLOG_ERROR(u"[redav] OrigBuf is NULL!");
        _CompleteReadWrite(Irp, STATUS_INSUFFICIENT_RESOURCES, 0, IO_NO_INCREMENT);
        return;
    }
    // Written so that no sum can overflow; a negative offset would reach the
    // header sector in front of the disk.
    if (Offset < 0 || Offset > Ext->FileSize ||
        static_cast<LONGLONG>(Length) > Ext->FileSize - Offset) {
        KLOG_ERROR(u"[redav] Out Of FileSize(bWrite=%d, Offset=%I64d, Length=%d, "
                   u"FileSize=%I64d)!",
                   bWrite, Offset, Length, Ext->FileSize);
        _CompleteReadWrite(Irp, STATUS_INVALID_PARAMETER, 0, IO_NO_INCREMENT);
        return;
    }
    // The container is unbuffered and the transform works on whole sectors;
    // refusing here keeps a stray request from reaching the transform's own
    // checks.
    if ((Offset % 512) != 0 || (Length % 512) != 0) {
        KLOG_ERROR(u"[redav] Not Sector Aligned(bWrite=%d, Offset=%I64d, Length=%d)!", bWrite,
                   Offset, Length);
        _CompleteReadWrite(Irp, STATUS_INVALID_PARAMETER, 0, IO_NO_INCREMENT);
        return;
    }
    if (Ext->VolumeRWStatus == DENY) {
        KLOG_WARNING(u"[redav] VolumeRWStatus is Disabled!");
        _CompleteReadWrite(Irp, STATUS_ACCESS_DENIED, 0, IO_NO_INCREMENT);
        return;
    }
    if (Ext->VolumeRWStatus == RO && bWrite) {
        KLOG_WARNING(u"[redav] VolumeRWStatus is ReadOnly, Write Denied!");
        _CompleteReadWrite(Irp, STATUS_ACCESS_DENIED, 0, IO_NO_INCREMENT);
        return;
    }

    // One block of the request's length plus up to a page: the container is unbuffered, and a
    // page-aligned buffer lets the host take it as it is instead of copying it once more.
    PUCHAR Block = static_cast<PUCHAR>(ExAllocatePoolWithTag(
        NonPagedPool, static_cast<SIZE_T>(Length) + PAGE_SIZE, REDAV_VOLUME_POOL_TAG));
    if (!Block) {
        KLOG_ERROR(u"[redav] ExAllocatePoolWithTag failed!");
        _CompleteReadWrite(Irp, STATUS_INSUFFICIENT_RESOURCES, 0, IO_NO_INCREMENT);
        return;
    }
    PUCHAR Bounce = reinterpret_cast<PUCHAR>((reinterpret_cast<ULONG_PTR>(Block) + PAGE_SIZE - 1) &
                                             ~static_cast<ULONG_PTR>(PAGE_SIZE - 1));
    if (bWrite)
        RtlCopyMemory(Bounce, OrigBuf, Length);
    else
        // A short read that the file system reports as success must not hand the
        // caller stale pool bytes.
        RtlZeroMemory(Bounce, Length);

    LONGLONG DiskOffset = Ext->IsCDROM ? Offset : Offset + 512;
    NTSTATUS Status = bWrite ? DiskRW_Write(Ext, DiskOffset, Bounce, Length)
                             : DiskRW_Read(Ext, DiskOffset, Bounce, Length);
    if (NT_SUCCESS(Status) && !bWrite)
        RtlCopyMemory(OrigBuf, Bounce, Length);
    // Freed before completing, so that no pool is held once the caller sees the answer.
    ExFreePoolWithTag(Block, REDAV_VOLUME_POOL_TAG);
    if (NT_SUCCESS(Status)) {
        _CompleteReadWrite(Irp, Status, Length, IO_DISK_INCREMENT);
    } else {
        KLOG_ERROR(u"[redav] %C: DiskRW_Write/DiskRW_Read failed!!(bWrite=%d, DiskOffset=%I64d, "
                   u"Length=%d)",
                   Ext->VolumeLetter, bWrite, DiskOffset, Length);
        _CompleteReadWrite(Irp, Status, 0, IO_NO_INCREMENT);
    }
}
