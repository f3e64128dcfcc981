// IRPs: allocation, stack locations, IoCallDriver, completion and the checks on both.
//
// Each IRP has a hidden irp_record in front of it. Its holds count keeps the memory alive while
// an IofCallDriver frame still looks at the IRP after dispatch returns: completion (or
// IoFreeIrp) drops the IRP's own hold, each IofCallDriver frame drops its own, the last one
// frees. That is what lets the pending check below read the IRP after another thread completed
// it, as the platform's completion APC does for the issuing thread.
#include "io_internal.h"
#include "ps_internal.h"

#include <cstring>

namespace ntos::detail {

namespace {

constexpr uint32_t irp_magic = 0x50524949;

struct alignas(16) irp_record {
    uint32_t magic;
    std::atomic<int> holds;
    std::atomic<bool> completed;
    std::atomic<bool> freed;
    bool built_by_io; // the I/O manager frees it (and its buffers) on completion
    bool copy_out;    // buffered: copy the system buffer to UserBuffer on success
    ULONG copy_limit; // bytes of UserBuffer available for the copy
    std::atomic<uint64_t> pending_marks; // bit per stack location marked pending
};

irp_record* record_of(PIRP irp)
{
    return reinterpret_cast<irp_record*>(irp) - 1;
}

void drop_hold(PIRP irp)
{
    irp_record* record = record_of(irp);
    if (record->holds.fetch_sub(1) == 1) {
        record->magic = 0;
        ExFreePoolWithTag(record, irp_pool_tag);
    }
}

void check_irp(PIRP irp, const char* routine)
{
    NTOS_CHECK(irp && record_of(irp)->magic == irp_magic && !record_of(irp)->freed,
               "%s on %p, which is not a live IRP", routine, static_cast<void*>(irp));
}

// Frees what the I/O manager attached to a request it built.
void finish_io_request(PIRP irp)
{
    irp_record* record = record_of(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if ((irp->Flags & IRP_BUFFERED_IO) && irp->AssociatedIrp.SystemBuffer) {
        if (record->copy_out && !NT_ERROR(status) && irp->UserBuffer) {
            ULONG_PTR bytes = irp->IoStatus.Information;
            if (bytes > record->copy_limit)
                bytes = record->copy_limit;
            memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
        }
        if (irp->Flags & IRP_DEALLOCATE_BUFFER)
            ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, io_buffer_tag);
        irp->AssociatedIrp.SystemBuffer = nullptr;
    }
    for (PMDL mdl = irp->MdlAddress; mdl;) {
        PMDL next = mdl->Next;
        IoFreeMdl(mdl);
        mdl = next;
    }
    irp->MdlAddress = nullptr;
}

} // namespace

} // namespace ntos::detail

using namespace ntos::detail;

SIZE_T IoSizeOfIrp(CCHAR StackSize)
{
    return sizeof(IRP) + static_cast<SIZE_T>(StackSize) * sizeof(IO_STACK_LOCATION);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    NTOS_CHECK(KeGetCurrentIrql() <= DISPATCH_LEVEL, "IoAllocateIrp at IRQL %d",
               KeGetCurrentIrql());
    if (StackSize < 1 || StackSize > 63)
        return nullptr;
    SIZE_T size = sizeof(irp_record) + IoSizeOfIrp(StackSize);
    void* memory = ExAllocatePoolWithTag(NonPagedPool, size, irp_pool_tag);
    if (!memory)
        return nullptr;
    memset(memory, 0, size);
    auto* record = new (memory) irp_record{};
    record->magic = irp_magic;
    record->holds.store(1);
    PIRP irp = reinterpret_cast<PIRP>(record + 1);
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(IoSizeOfIrp(StackSize));
    irp->StackCount = StackSize;
    irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + StackSize;
    InitializeListHead(&irp->ThreadListEntry);
    return irp;
}

VOID IoFreeIrp(PIRP Irp)
{
    check_irp(Irp, "IoFreeIrp");
    if (!Irp || record_of(Irp)->freed.exchange(true))
        return;
    drop_hold(Irp);
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    check_irp(Irp, "IoReuseIrp");
    irp_record* record = record_of(Irp);
    CCHAR stack_size = Irp->StackCount;
    memset(Irp, 0, IoSizeOfIrp(stack_size));
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = static_cast<USHORT>(IoSizeOfIrp(stack_size));
    Irp->StackCount = stack_size;
    Irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
    Irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + stack_size;
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->IoStatus.Status = Iostatus;
    record->completed = false;
    record->pending_marks = 0;
}

VOID IoMarkIrpPending(PIRP Irp)
{
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
    if (Irp->CurrentLocation > 0 && Irp->CurrentLocation < 64)
        record_of(Irp)->pending_marks.fetch_or(uint64_t{1} << Irp->CurrentLocation);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTOS_CHECK(KeGetCurrentIrql() <= DISPATCH_LEVEL, "IoCallDriver at IRQL %d", KeGetCurrentIrql());
    check_irp(Irp, "IoCallDriver");
    NTOS_CHECK(io_is_device(DeviceObject), "IoCallDriver to %p, which is not a device",
               static_cast<void*>(DeviceObject));
    if (!Irp || !DeviceObject)
        return STATUS_INVALID_PARAMETER;
    NTOS_CHECK(Irp->CurrentLocation > 1, "IoCallDriver: IRP %p has no stack location left",
               static_cast<void*>(Irp));
    if (Irp->CurrentLocation <= 1)
        return STATUS_INVALID_PARAMETER;
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    CHAR level = Irp->CurrentLocation;
    UCHAR major = stack->MajorFunction;
    NTOS_CHECK(major <= IRP_MJ_MAXIMUM_FUNCTION, "IoCallDriver: major function %u", major);
    PDRIVER_DISPATCH dispatch = major <= IRP_MJ_MAXIMUM_FUNCTION
                                    ? DeviceObject->DriverObject->MajorFunction[major]
                                    : nullptr;
    if (!dispatch)
        dispatch = io_invalid_device_request;
    irp_record* record = record_of(Irp);
    record->holds.fetch_add(1);
    NTSTATUS status = dispatch(DeviceObject, Irp);
    if (status == STATUS_PENDING) {
        // A pending return is legal when this level or one below it was marked pending.
        uint64_t marks = record->pending_marks.load();
        uint64_t this_and_below = (uint64_t{2} << level) - 1;
        NTOS_CHECK((marks & this_and_below) != 0,
                   "dispatch routine of major function %u returned STATUS_PENDING without "
                   "IoMarkIrpPending",
                   major);
    }
    drop_hold(Irp);
    return status;
}

VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    NTOS_CHECK(KeGetCurrentIrql() <= DISPATCH_LEVEL, "IoCompleteRequest at IRQL %d",
               KeGetCurrentIrql());
    NTOS_CHECK(Irp && record_of(Irp)->magic == irp_magic,
               "IoCompleteRequest on %p, which is not an IRP", static_cast<void*>(Irp));
    irp_record* record = record_of(Irp);
    // Checked before liveness: a request the I/O manager built is already freed by its first
    // completion, and the report should name the real fault.
    NTOS_CHECK(!record->completed.exchange(true), "IRP %p completed twice",
               static_cast<void*>(Irp));
    check_irp(Irp, "IoCompleteRequest");
    NTOS_CHECK(Irp->IoStatus.Status != STATUS_PENDING,
               "IoCompleteRequest with STATUS_PENDING (IRP %p)", static_cast<void*>(Irp));
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        NTSTATUS status = Irp->IoStatus.Status;
        UCHAR control = stack->Control;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        IoSkipCurrentIrpStackLocation(Irp);
        if (invoke) {
            PDEVICE_OBJECT upper = Irp->CurrentLocation <= Irp->StackCount
                                       ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject
                                       : nullptr;
            if (routine(upper, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                // The routine owns the IRP again (it may complete it once more or free it).
                record->completed = false;
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }
    if (Irp->UserIosb)
        *Irp->UserIosb = Irp->IoStatus;
    PKEVENT event = Irp->UserEvent;
    if (record->built_by_io) {
        finish_io_request(Irp);
        Irp->UserEvent = nullptr;
        if (event)
            KeSetEvent(event, PriorityBoost, FALSE);
        IoFreeIrp(Irp);
        return;
    }
    if (event)
        KeSetEvent(event, PriorityBoost, FALSE);
}

namespace ntos::detail {

void io_mark_built(PIRP irp, bool copy_out, ULONG copy_limit)
{
    irp_record* record = record_of(irp);
    record->built_by_io = true;
    record->copy_out = copy_out;
    record->copy_limit = copy_limit;
}

} // namespace ntos::detail
