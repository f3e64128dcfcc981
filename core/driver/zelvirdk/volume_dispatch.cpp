// The routes that hand a volume device's reads, writes and device controls to
// its worker.
#include "volume_dispatch.h"

#include "klog.h"

namespace {

NTSTATUS _QueueVolumeRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Ext = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);

    // Started is checked again under the queue lock: the worker's last sweep at
    // teardown takes that lock after Started was cleared, so a request appended
    // here is always either served or refused by the worker, never stranded in a
    // queue nobody drains.
    if (Ext->Started) {
        KIRQL OldIrql;
        KeAcquireSpinLock(&Ext->QueueLock, &OldIrql);
        if (Ext->Started) {
            IoMarkIrpPending(Irp);
            InsertTailList(&Ext->RequestQueue, &Irp->Tail.Overlay.ListEntry);
            KeReleaseSpinLock(&Ext->QueueLock, OldIrql);
            // Do not touch the IRP from here on: the worker may already have
            // completed it.
            KeSetEvent(&Ext->RequestEvent, IO_NO_INCREMENT, FALSE);
            return STATUS_PENDING;
        }
        KeReleaseSpinLock(&Ext->QueueLock, OldIrql);
    }

    KLOG_ERROR(u"[redav] Virtual Disk %C is OutOfWork!", Ext->VolumeLetter);
    Irp->IoStatus.Status = STATUS_ACCESS_DENIED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_ACCESS_DENIED;
}

} // namespace

NTSTATUS RedAvDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return _QueueVolumeRequest(DeviceObject, Irp);
}

NTSTATUS RedAvDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return _QueueVolumeRequest(DeviceObject, Irp);
}
