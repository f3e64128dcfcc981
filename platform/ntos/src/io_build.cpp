// Requests the I/O manager builds (device control, synchronous read/write/flush), MDLs, and the
// whole-request helper the bridges use.
#include "io_internal.h"
#include "ps_internal.h"

#include <cstring>

using namespace ntos::detail;

namespace {

PIRP new_request(PDEVICE_OBJECT device, UCHAR major, PKEVENT event, PIO_STATUS_BLOCK iosb)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    if (!irp)
        return nullptr;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    irp->UserEvent = event;
    irp->UserIosb = iosb;
    irp->RequestorMode = KernelMode;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    return irp;
}

bool attach_system_buffer(PIRP irp, ULONG size, const void* input, ULONG input_length)
{
    if (size == 0)
        return true;
    void* buffer = ExAllocatePoolWithTag(NonPagedPool, size, io_buffer_tag);
    if (!buffer)
        return false;
    if (input_length)
        memcpy(buffer, input, input_length);
    if (size > input_length)
        memset(static_cast<char*>(buffer) + input_length, 0, size - input_length);
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    return true;
}

bool attach_mdl(PIRP irp, PVOID buffer, ULONG length)
{
    if (!length)
        return true;
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
    if (!mdl)
        return false;
    // Host memory is always resident: the probe-and-lock of the platform is a flag here.
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    return true;
}

// The platform frees a half-built request itself; the record's buffers go with it.
PIRP abandon(PIRP irp)
{
    if (irp->Flags & IRP_DEALLOCATE_BUFFER)
        ExFreePoolWithTag(irp->AssociatedIrp.SystemBuffer, io_buffer_tag);
    if (irp->MdlAddress)
        IoFreeMdl(irp->MdlAddress);
    IoFreeIrp(irp);
    return nullptr;
}

NTSTATUS wait_for(PIRP irp, PDEVICE_OBJECT device, KEVENT* event, IO_STATUS_BLOCK* iosb,
                  ULONG_PTR* information)
{
    NTSTATUS status = IoCallDriver(device, irp);
    // A request not pending was completed inside the call: its status is the returned one.
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        status = iosb->Status;
    }
    if (information)
        *information = iosb->Information;
    return status;
}

} // namespace

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp)
{
    auto va = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    ULONG_PTR pages = ((va & (PAGE_SIZE - 1)) + Length + PAGE_SIZE - 1) >> PAGE_SHIFT;
    if (pages > 0x10000)
        return nullptr;
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), mdl_pool_tag));
    if (!mdl)
        return nullptr;
    memset(mdl, 0, sizeof(MDL));
    mdl->Size = static_cast<CSHORT>(sizeof(MDL) + pages * sizeof(ULONG_PTR));
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~ULONG_PTR{PAGE_SIZE - 1});
    mdl->ByteOffset = static_cast<ULONG>(va & (PAGE_SIZE - 1));
    mdl->ByteCount = Length;
    mdl->Process = PsGetCurrentProcess();
    if (Irp) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL* tail = &Irp->MdlAddress;
            while (*tail)
                tail = &(*tail)->Next;
            *tail = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl)
{
    if (Mdl)
        ExFreePoolWithTag(Mdl, mdl_pool_tag);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    if (!MemoryDescriptorList)
        return;
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   int CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority)
{
    if (!MemoryDescriptorList)
        return nullptr;
    // Every buffer of the host process is already visible to the layer: the mapping is the
    // buffer itself.
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return MemoryDescriptorList->MappedSystemVa;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                   ULONG OutputBufferLength, BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock)
{
    if (!io_is_device(DeviceObject) || !IoStatusBlock || (InputBufferLength && !InputBuffer) ||
        (OutputBufferLength && !OutputBuffer))
        return nullptr;
    PIRP irp = new_request(DeviceObject,
                           InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL
                                                   : IRP_MJ_DEVICE_CONTROL,
                           Event, IoStatusBlock);
    if (!irp)
        return nullptr;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    bool copy_out = false;
    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        ULONG size =
            InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (!attach_system_buffer(irp, size, InputBuffer, InputBufferLength))
            return abandon(irp);
        if (OutputBufferLength) {
            irp->Flags |= IRP_INPUT_OPERATION;
            copy_out = true;
        }
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
        if (!attach_system_buffer(irp, InputBufferLength, InputBuffer, InputBufferLength) ||
            !attach_mdl(irp, OutputBuffer, OutputBufferLength))
            return abandon(irp);
        break;
    default:
        stack->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        break;
    }
    irp->UserBuffer = OutputBuffer;
    io_mark_built(irp, copy_out, OutputBufferLength);
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock)
{
    if (!io_is_device(DeviceObject) || !IoStatusBlock)
        return nullptr;
    bool transfer = MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE;
    if (!transfer && MajorFunction != IRP_MJ_FLUSH_BUFFERS && MajorFunction != IRP_MJ_SHUTDOWN &&
        MajorFunction != IRP_MJ_PNP && MajorFunction != IRP_MJ_POWER)
        return nullptr;
    if (transfer && Length && !Buffer)
        return nullptr;
    PIRP irp = new_request(DeviceObject, static_cast<UCHAR>(MajorFunction), Event, IoStatusBlock);
    if (!irp)
        return nullptr;
    bool copy_out = false;
    if (transfer) {
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->Parameters.Read.Length = Length;
        stack->Parameters.Read.ByteOffset.QuadPart = StartingOffset ? StartingOffset->QuadPart : 0;
        bool read = MajorFunction == IRP_MJ_READ;
        if (DeviceObject->Flags & DO_BUFFERED_IO) {
            if (!attach_system_buffer(irp, Length, read ? nullptr : Buffer, read ? 0 : Length))
                return abandon(irp);
            if (read) {
                irp->Flags |= IRP_INPUT_OPERATION;
                copy_out = true;
            }
        } else if (DeviceObject->Flags & DO_DIRECT_IO) {
            if (!attach_mdl(irp, Buffer, Length))
                return abandon(irp);
        }
        irp->UserBuffer = Buffer;
        irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
    }
    io_mark_built(irp, copy_out, Length);
    return irp;
}

namespace ntos::detail {

NTSTATUS io_send_simple(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major, UCHAR minor,
                        ULONG_PTR* information)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = new_request(device, major, &event, &iosb);
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = minor;
    stack->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    if (major == IRP_MJ_CREATE)
        irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    else if (major == IRP_MJ_CLOSE)
        irp->Flags |= IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
    io_mark_built(irp, false, 0);
    return wait_for(irp, device, &event, &iosb, information);
}

} // namespace ntos::detail

namespace ntos {

NTSTATUS send_request(PDEVICE_OBJECT device, PFILE_OBJECT file, const request& what,
                      ULONG_PTR* information)
{
    NTOS_CHECK(KeGetCurrentIrql() == PASSIVE_LEVEL, "send_request at IRQL %d", KeGetCurrentIrql());
    if (information)
        *information = 0;
    if (!io_is_device(device))
        return STATUS_INVALID_PARAMETER;
    if ((what.input_length && !what.input) || (what.output_length && !what.output))
        return STATUS_INVALID_USER_BUFFER;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = nullptr;
    switch (what.major) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        irp = IoBuildDeviceIoControlRequest(
            what.code, device, const_cast<void*>(what.input), what.input_length, what.output,
            what.output_length, what.major == IRP_MJ_INTERNAL_DEVICE_CONTROL, &event, &iosb);
        break;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
        LARGE_INTEGER offset;
        offset.QuadPart = what.offset;
        bool read = what.major == IRP_MJ_READ;
        irp = IoBuildSynchronousFsdRequest(
            what.major, device, read ? what.output : const_cast<void*>(what.input),
            read ? what.output_length : what.input_length, &offset, &event, &iosb);
        break;
    }
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        // Drivers look at the file object of these: a request without one is malformed.
        if (!file)
            return STATUS_INVALID_PARAMETER;
        return ntos::detail::io_send_simple(device, file, what.major, what.minor, information);
    default:
        if (what.major > IRP_MJ_MAXIMUM_FUNCTION)
            return STATUS_INVALID_PARAMETER;
        irp = new_request(device, what.major, &event, &iosb);
        if (irp) {
            IoGetNextIrpStackLocation(irp)->MinorFunction = what.minor;
            io_mark_built(irp, false, 0);
        }
        break;
    }
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = what.minor;
    stack->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Flags |= what.irp_flags;
    return wait_for(irp, device, &event, &iosb, information);
}

} // namespace ntos
