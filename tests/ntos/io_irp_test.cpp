// I/O manager: drivers and devices, IRP dispatch and completion, buffers, pending requests and
// the contract checks.
#include <ntifs.h>
#include <ntos_layer.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr ULONG test_tag = 0x6472766D;
constexpr ULONG IOCTL_TEST_ECHO = CTL_CODE(0x8000, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_TEST_DIRECT = CTL_CODE(0x8000, 0x801, METHOD_OUT_DIRECT, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_TEST_PENDING = CTL_CODE(0x8000, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

// What the test driver saw; reset per test.
struct observed {
    std::vector<UCHAR> majors;
    std::atomic<int> creates{0}, cleanups{0}, closes{0};
    PFILE_OBJECT last_file = nullptr;
    std::u16string last_name;
};
observed seen;

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS dispatch_file(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    seen.majors.push_back(stack->MajorFunction);
    seen.last_file = stack->FileObject;
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        ++seen.creates;
        PFILE_OBJECT file = stack->FileObject;
        seen.last_name.assign(file->FileName.Buffer ? file->FileName.Buffer : u"",
                              file->FileName.Length / sizeof(WCHAR));
        if (seen.last_name == u"\\refuse")
            return complete(irp, STATUS_ACCESS_DENIED, 0);
    } else if (stack->MajorFunction == IRP_MJ_CLEANUP) {
        ++seen.cleanups;
    } else {
        ++seen.closes;
    }
    return complete(irp, STATUS_SUCCESS, 0);
}

// Completes pending requests from another thread, as the driver's volume workers do.
VOID complete_later(PVOID context)
{
    auto* irp = static_cast<PIRP>(context);
    LARGE_INTEGER delay;
    delay.QuadPart = -20 * 10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    memcpy(irp->AssociatedIrp.SystemBuffer, "late", 4);
    complete(irp, STATUS_SUCCESS, 4);
}

NTSTATUS dispatch_control(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto& p = stack->Parameters.DeviceIoControl;
    switch (p.IoControlCode) {
    case IOCTL_TEST_ECHO: {
        // Reverse the input into the same system buffer; report 2 bytes more than the caller
        // can take to check that the copy-back is capped.
        auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        std::string in(buffer, p.InputBufferLength);
        for (ULONG i = 0; i < p.InputBufferLength; ++i)
            buffer[i] = in[p.InputBufferLength - 1 - i];
        return complete(irp, STATUS_SUCCESS, p.OutputBufferLength + 2);
    }
    case IOCTL_TEST_DIRECT: {
        auto* out =
            static_cast<char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        memset(out, 'D', MmGetMdlByteCount(irp->MdlAddress));
        return complete(irp, STATUS_SUCCESS, MmGetMdlByteCount(irp->MdlAddress));
    }
    case IOCTL_TEST_PENDING: {
        IoMarkIrpPending(irp);
        HANDLE thread = nullptr;
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        if (NT_SUCCESS(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, &oa, nullptr, nullptr,
                                            complete_later, irp)))
            ZwClose(thread);
        return STATUS_PENDING;
    }
    default:
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

NTSTATUS dispatch_read(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.Read.Length;
    char* target =
        (device->Flags & DO_DIRECT_IO)
            ? static_cast<char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority))
            : static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
    memset(target, static_cast<int>('0' + stack->Parameters.Read.ByteOffset.QuadPart), length);
    return complete(irp, STATUS_SUCCESS, length);
}

struct test_driver_state {
    PDEVICE_OBJECT device = nullptr;
    PVOID leaked = nullptr;
    bool leak = false;
};
test_driver_state state;

VOID unload(PDRIVER_OBJECT driver)
{
    if (state.device)
        IoDeleteDevice(state.device);
    state.device = nullptr;
    if (!state.leak && state.leaked)
        ExFreePoolWithTag(state.leaked, test_tag);
    state.leaked = nullptr;
}

NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry)
{
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_file;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_file;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_file;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_control;
    driver->MajorFunction[IRP_MJ_READ] = dispatch_read;
    driver->DriverUnload = unload;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\TestIoDevice");
    NTSTATUS status = IoCreateDevice(driver, 64, &name, FILE_DEVICE_DISK, 0, FALSE, &state.device);
    if (NT_SUCCESS(status))
        state.device->Flags |= DO_BUFFERED_IO;
    state.leaked = ExAllocatePoolWithTag(NonPagedPool, 32, test_tag);
    return status;
}

class IoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        seen.majors.clear();
        seen.creates = seen.cleanups = seen.closes = 0;
        state = {};
        ASSERT_EQ(ntos::load_driver(u"testio", entry, &driver_), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (driver_) {
            EXPECT_TRUE(ntos::unload_driver(driver_, &test_tag, 1));
        }
    }
    ntos::request control(ULONG code, const void* in, ULONG in_length, void* out, ULONG out_length)
    {
        ntos::request r;
        r.major = IRP_MJ_DEVICE_CONTROL;
        r.code = code;
        r.input = in;
        r.input_length = in_length;
        r.output = out;
        r.output_length = out_length;
        return r;
    }
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(IoTest, DevicesOfDriverEntryAreReadyNamedAndExclusiveOfOtherNames)
{
    ASSERT_NE(state.device, nullptr);
    EXPECT_EQ(state.device->DriverObject, driver_);
    EXPECT_EQ(driver_->DeviceObject, state.device);
    EXPECT_EQ(state.device->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(state.device->SectorSize, 512);
    EXPECT_EQ(state.device->StackSize, 1);
    ASSERT_NE(state.device->DeviceExtension, nullptr);
    EXPECT_EQ(static_cast<char*>(state.device->DeviceExtension)[63], 0);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\TestIoDevice");
    PDEVICE_OBJECT second = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);

    UNICODE_STRING sddl;
    RtlInitUnicodeString(&sddl, u"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    UNICODE_STRING secure_name;
    RtlInitUnicodeString(&secure_name, u"\\Device\\TestIoSecure");
    PDEVICE_OBJECT secure = nullptr;
    ASSERT_EQ(IoCreateDeviceSecure(driver_, 0, &secure_name, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &sddl, nullptr, &secure),
              STATUS_SUCCESS);
    EXPECT_EQ(ntos::device_sddl(secure), u"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    // Made after DriverEntry: still initialising until its driver says otherwise.
    EXPECT_NE(secure->Flags & DO_DEVICE_INITIALIZING, 0u);
    IoDeleteDevice(secure);
    PDEVICE_OBJECT again = nullptr;
    ASSERT_EQ(IoCreateDevice(driver_, 0, &secure_name, FILE_DEVICE_UNKNOWN, 0, FALSE, &again),
              STATUS_SUCCESS);
    IoDeleteDevice(again);
}

TEST_F(IoTest, UnsetMajorFunctionsAreInvalidRequests)
{
    ULONG_PTR information = 7;
    ntos::request flush;
    flush.major = IRP_MJ_FLUSH_BUFFERS;
    EXPECT_EQ(ntos::send_request(state.device, nullptr, flush, &information),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(information, 0u);
}

TEST_F(IoTest, BufferedControlCopiesInAndCapsTheCopyBack)
{
    const char in[] = "abcdef";
    char out[4] = {'x', 'x', 'x', 'x'};
    ULONG_PTR information = 0;
    ASSERT_EQ(ntos::send_request(state.device, nullptr, control(IOCTL_TEST_ECHO, in, 6, out, 3),
                                 &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 5u);             // what the driver reported
    EXPECT_EQ(std::string(out, 4), "fedx"); // but only the 3 bytes the caller has
}

TEST_F(IoTest, DirectControlMapsTheCallersBuffer)
{
    std::vector<char> out(10000, 'x');
    ULONG_PTR information = 0;
    ASSERT_EQ(ntos::send_request(state.device, nullptr,
                                 control(IOCTL_TEST_DIRECT, nullptr, 0, out.data() + 1, 9000),
                                 &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 9000u);
    EXPECT_EQ(out[0], 'x');
    EXPECT_EQ(out[1], 'D');
    EXPECT_EQ(out[9000], 'D');
    EXPECT_EQ(out[9001], 'x');
}

TEST_F(IoTest, PendingRequestsAreWaitedForAndCompletedFromAnotherThread)
{
    char out[8] = {};
    ULONG_PTR information = 0;
    ASSERT_EQ(ntos::send_request(state.device, nullptr,
                                 control(IOCTL_TEST_PENDING, nullptr, 0, out, sizeof(out)),
                                 &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, 4u);
    EXPECT_EQ(std::string(out, 4), "late");
}

TEST_F(IoTest, ReadsFollowTheDevicesBufferingFlag)
{
    for (ULONG flag : {ULONG(DO_BUFFERED_IO), ULONG(DO_DIRECT_IO)}) {
        state.device->Flags = (state.device->Flags & ~(DO_BUFFERED_IO | DO_DIRECT_IO)) | flag;
        std::vector<char> data(1024, 'x');
        ntos::request read;
        read.major = IRP_MJ_READ;
        read.output = data.data();
        read.output_length = 512;
        read.offset = 3;
        ULONG_PTR information = 0;
        ASSERT_EQ(ntos::send_request(state.device, nullptr, read, &information), STATUS_SUCCESS);
        EXPECT_EQ(information, 512u);
        EXPECT_EQ(data[0], '3');
        EXPECT_EQ(data[511], '3');
        EXPECT_EQ(data[512], 'x');
    }
}

TEST_F(IoTest, DeviceObjectPointerOpensCleansUpAndClosesOnRelease)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\TestIoDevice\\sub");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, state.device);
    EXPECT_EQ(file->DeviceObject, state.device);
    EXPECT_EQ(seen.last_name, u"\\sub");
    EXPECT_EQ(seen.creates.load(), 1);
    EXPECT_EQ(seen.cleanups.load(), 1);
    EXPECT_EQ(seen.closes.load(), 0);
    ObDereferenceObject(file);
    EXPECT_EQ(seen.closes.load(), 1);

    // A refused create is never closed; a missing name sends nothing.
    RtlInitUnicodeString(&name, u"\\Device\\TestIoDevice\\refuse");
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device),
              STATUS_ACCESS_DENIED);
    RtlInitUnicodeString(&name, u"\\Device\\NoSuchTestDevice");
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(seen.creates.load(), 2);
    EXPECT_EQ(seen.closes.load(), 1);
}

// A driver-owned IRP sent down to the test device and taken back by a completion routine.
struct completion_seen {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = STATUS_PENDING;
    int calls = 0;
};

NTSTATUS take_back(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* c = static_cast<completion_seen*>(context);
    c->device = device;
    c->status = irp->IoStatus.Status;
    ++c->calls;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IoTest, CompletionRoutinesSeeTheResultAndMayKeepTheIrp)
{
    PIRP irp = IoAllocateIrp(state.device->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_FLUSH_BUFFERS; // not handled: invalid request
    completion_seen c;
    IoSetCompletionRoutine(irp, take_back, &c, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(state.device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(c.calls, 1);
    EXPECT_EQ(c.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(c.device, nullptr); // no device above the first one

    // Only on success: an error skips the routine.
    IoReuseIrp(irp, STATUS_SUCCESS);
    next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IoSetCompletionRoutine(irp, take_back, &c, TRUE, FALSE, FALSE);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->UserEvent = &event;
    EXPECT_EQ(IoCallDriver(state.device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(c.calls, 1);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    IoFreeIrp(irp);
}

// An upper driver that passes every request down, as a filter does: with the same stack
// location (skip) or a copy and a completion routine that propagates the pending mark.
PDEVICE_OBJECT lower_device = nullptr;
bool forward_with_copy = false;
std::atomic<int> forward_completions{0};

NTSTATUS forwarded(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    ++forward_completions;
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS dispatch_forward(PDEVICE_OBJECT, PIRP irp)
{
    if (forward_with_copy) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, forwarded, nullptr, TRUE, TRUE, TRUE);
    } else {
        IoSkipCurrentIrpStackLocation(irp);
    }
    return IoCallDriver(lower_device, irp);
}

NTSTATUS upper_entry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_forward;
    return STATUS_SUCCESS;
}

TEST_F(IoTest, PendingFromALowerDriverPassesThroughAnUpperOne)
{
    PDRIVER_OBJECT upper_driver = nullptr;
    ASSERT_EQ(ntos::load_driver(u"testupper", upper_entry, &upper_driver), STATUS_SUCCESS);
    PDEVICE_OBJECT upper = nullptr;
    ASSERT_EQ(IoCreateDevice(upper_driver, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &upper),
              STATUS_SUCCESS);
    upper->StackSize = static_cast<CCHAR>(state.device->StackSize + 1);
    lower_device = state.device;
    for (bool copy : {false, true}) {
        forward_with_copy = copy;
        forward_completions = 0;
        char out[8] = {};
        ULONG_PTR information = 0;
        ASSERT_EQ(ntos::send_request(upper, nullptr,
                                     control(IOCTL_TEST_PENDING, nullptr, 0, out, sizeof(out)),
                                     &information),
                  STATUS_SUCCESS)
            << copy;
        EXPECT_EQ(std::string(out, 4), "late");
        EXPECT_EQ(forward_completions.load(), copy ? 1 : 0);
    }
    IoDeleteDevice(upper);
    EXPECT_TRUE(ntos::unload_driver(upper_driver, nullptr, 0));
}

TEST_F(IoTest, NeitherMethodPassesTheCallersPointersUntouched)
{
    char in[4] = {'i', 'n', 0, 0};
    char out[4] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    constexpr ULONG code = CTL_CODE(0x8000, 0x9FF, METHOD_NEITHER, FILE_ANY_ACCESS);
    PIRP irp = IoBuildDeviceIoControlRequest(code, state.device, in, sizeof(in), out, sizeof(out),
                                             FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->Parameters.DeviceIoControl.Type3InputBuffer, in);
    EXPECT_EQ(irp->UserBuffer, out);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    EXPECT_EQ(irp->MdlAddress, nullptr);
    // Unknown to the test driver: refused, and the I/O manager frees what it built.
    EXPECT_EQ(IoCallDriver(state.device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(code, state.device, nullptr, 4, out, sizeof(out), FALSE,
                                            &event, &iosb),
              nullptr);
}

NTSTATUS dispatch_complete_twice(PDEVICE_OBJECT, PIRP irp)
{
    complete(irp, STATUS_SUCCESS, 0);
    return complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS dispatch_complete_pending(PDEVICE_OBJECT, PIRP irp)
{
    return complete(irp, STATUS_PENDING, 0);
}

NTSTATUS dispatch_pending_unmarked(PDEVICE_OBJECT, PIRP irp)
{
    return STATUS_PENDING;
}

class IoDeathTest : public IoTest {
protected:
    void SetUp() override
    {
#if !defined(LOCKBIN_CHECKED)
        GTEST_SKIP() << "the kernel layer's contract checks are compiled out (LOCKBIN_CHECKED off)";
#endif
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        IoTest::SetUp();
    }
    void expect_abort(PDRIVER_DISPATCH routine, const char* message)
    {
        driver_->MajorFunction[IRP_MJ_SHUTDOWN] = routine;
        ntos::request r;
        r.major = IRP_MJ_SHUTDOWN;
        EXPECT_DEATH(ntos::send_request(state.device, nullptr, r, nullptr), message);
    }
};

TEST_F(IoDeathTest, BrokenCompletionContractsAbort)
{
    expect_abort(dispatch_complete_twice, "completed twice");
    expect_abort(dispatch_complete_pending, "IoCompleteRequest with STATUS_PENDING");
    expect_abort(dispatch_pending_unmarked, "STATUS_PENDING without IoMarkIrpPending");
}

TEST_F(IoDeathTest, UnloadWithALeakedBlockAborts)
{
    state.leak = true;
    EXPECT_DEATH(ntos::unload_driver(driver_, &test_tag, 1), "0x6472766d");
    // The leak happened only in the child; this process unloads cleanly.
    state.leak = false;
}

} // namespace
