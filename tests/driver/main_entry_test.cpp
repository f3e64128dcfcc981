// The driver's frame over the kernel layer: DriverEntry's objects and its undoing of a partial
// start, the dispatch of every major function on both kinds of device, the trace line.
#include <gtest/gtest.h>

#include "private_host.h"

#include <ntifs.h>
#include <ntos_layer.h>

#include "iocontrol.h"
#include "klog.h"
#include "main.h"
#include "supportex.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

const ULONG kTags[] = {SUPPORTEX_POOL_TAG, KLOG_TRACE_POOL_TAG};

bool Exists(const char16_t* path)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = ZwOpenSymbolicLinkObject(&handle, GENERIC_READ, &attributes);
    if (NT_SUCCESS(status)) {
        ZwClose(handle);
        return true;
    }
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    if (NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device))) {
        ObDereferenceObject(file);
        return true;
    }
    // A directory: something below it can be created only while it exists.
    return status == STATUS_OBJECT_TYPE_MISMATCH;
}

bool DirectoryExists(const char16_t* path)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE | OBJ_OPENIF, nullptr,
                               nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = ZwCreateDirectoryObject(&handle, DIRECTORY_ALL_ACCESS, &attributes);
    if (NT_SUCCESS(status)) {
        ZwClose(handle); // a temporary one made here goes with its handle
    }
    return status == STATUS_OBJECT_NAME_EXISTS;
}

// A request of one major function, built so the test keeps the IRP after completion.
NTSTATUS CompletionKeep(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Send(PDEVICE_OBJECT device, UCHAR major, ULONG_PTR* information = nullptr)
{
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    IoSetCompletionRoutine(irp, CompletionKeep, nullptr, TRUE, TRUE, TRUE);
    NTSTATUS returned = IoCallDriver(device, irp);
    NTSTATUS completed = irp->IoStatus.Status;
    if (information) {
        *information = irp->IoStatus.Information;
    }
    IoFreeIrp(irp);
    EXPECT_EQ(returned, completed) << "major " << int(major);
    return completed;
}

// Captures what the layer prints on standard error while it lives.
class StderrCapture {
public:
    StderrCapture()
    {
        std::fflush(stderr);
        saved_ = dup(2);
        std::snprintf(path_, sizeof(path_), "/tmp/lockbin-stderr-XXXXXX");
        int fd = mkstemp(path_);
        dup2(fd, 2);
        close(fd);
    }
    std::string Finish()
    {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        std::ifstream in(path_);
        std::stringstream text;
        text << in.rdbuf();
        unlink(path_);
        return text.str();
    }

private:
    int saved_;
    char path_[64];
};

TEST(DriverEntryTest, BuildsItsObjectsAndUnloadTakesThemDown)
{
    PDRIVER_OBJECT driver = nullptr;
    StderrCapture capture;
    NTSTATUS status = ntos::load_driver(u"zelvirdk", DriverEntry, &driver);
    std::string trace = capture.Finish();
    ASSERT_EQ(status, STATUS_SUCCESS) << trace;
    EXPECT_TRUE(Exists(u"\\Device\\ZELRedAv"));
    EXPECT_TRUE(Exists(u"\\GLOBAL??\\ZELRedAv"));
    EXPECT_TRUE(DirectoryExists(u"\\Device\\ZELVirtualDisk"));
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        EXPECT_EQ(driver->MajorFunction[major], RedAvDispatch) << major;
    }
    EXPECT_EQ(driver->DriverUnload, RedAvUnload);
    EXPECT_TRUE(KLogIsStarted());
    // "[hh:mm:ss mmm][pid/tid] main.cpp(line) DriverEntry: [redav] DriverEntry()"
    EXPECT_NE(trace.find("] main.cpp("), std::string::npos) << trace;
    EXPECT_NE(trace.find(") DriverEntry: [redav] DriverEntry()"), std::string::npos) << trace;
    EXPECT_NE(trace.find("[redav] Driver Start!"), std::string::npos) << trace; // Trace is 1

    // The start record waits in the memory log.
    std::vector<UCHAR> buffer(4096);
    KLogRead(buffer.data(), ULONG(buffer.size()));
    ULONG size = 0;
    std::memcpy(&size, buffer.data() + 1, 4);
    ASSERT_GT(size, 152u);
    // Entries follow a one-byte count, so their text is not 2-byte aligned: copy it out.
    std::u16string text;
    for (size_t at = 1 + 144; at + 1 < buffer.size(); at += 2) {
        char16_t c;
        std::memcpy(&c, buffer.data() + at, 2);
        if (c == 0)
            break;
        text.push_back(c);
    }
    EXPECT_EQ(text, u"[redav] Driver Start!");
    EXPECT_EQ(buffer[1 + 22], KLOG_LEVEL_INFO);

    ASSERT_TRUE(ntos::unload_driver(driver, kTags, 2));
    EXPECT_FALSE(Exists(u"\\Device\\ZELRedAv"));
    EXPECT_FALSE(Exists(u"\\GLOBAL??\\ZELRedAv"));
    EXPECT_FALSE(DirectoryExists(u"\\Device\\ZELVirtualDisk"));
    EXPECT_FALSE(KLogIsStarted());
}

TEST(DriverEntryTest, ExistingLinkFailsTheLoadAndLeavesNothingBehind)
{
    UNICODE_STRING link;
    UNICODE_STRING target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Global\\ZELRedAv");
    RtlInitUnicodeString(&target, u"\\Device\\SomeoneElse");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    PDRIVER_OBJECT driver = nullptr;
    StderrCapture capture;
    NTSTATUS status = ntos::load_driver(u"zelvirdk", DriverEntry, &driver);
    std::string trace = capture.Finish();
    EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_NE(trace.find("[redav] CreateControlDevice failed!(status=0xc0000035)"),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find("[redav] Unload()"), std::string::npos);
    EXPECT_FALSE(Exists(u"\\Device\\ZELRedAv"));
    EXPECT_FALSE(DirectoryExists(u"\\Device\\ZELVirtualDisk"));
    EXPECT_EQ(ntos::pool_usage(SUPPORTEX_POOL_TAG).blocks, 0u);
    // The link that was there before is not the driver's to delete.
    EXPECT_TRUE(Exists(u"\\GLOBAL??\\ZELRedAv"));
    IoDeleteSymbolicLink(&link);
}

TEST(DriverEntryTest, ServesRequestsWithoutItsLog)
{
    // The frame does not depend on the memory log: with it stopped, requests are still served.
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(ntos::load_driver(u"zelvirdk", DriverEntry, &driver), STATUS_SUCCESS);
    KLogStop();
    PDEVICE_OBJECT control = driver->DeviceObject;
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(Send(control, IRP_MJ_CREATE), STATUS_SUCCESS);
    EXPECT_EQ(Send(control, IRP_MJ_CLEANUP), STATUS_SUCCESS);
    EXPECT_EQ(Send(control, IRP_MJ_CLOSE), STATUS_SUCCESS);
    EXPECT_TRUE(ntos::unload_driver(driver, kTags, 2));
}

TEST(RedAvDispatchTest, ControlDeviceRefusesEverythingButOpenCloseAndControl)
{
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(ntos::load_driver(u"zelvirdk", DriverEntry, &driver), STATUS_SUCCESS);
    PDEVICE_OBJECT control = driver->DeviceObject;
    ASSERT_TRUE(IsControlDevice(control));
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        if (major == IRP_MJ_DEVICE_CONTROL) {
            continue; // its handler is tested on its own
        }
        ULONG_PTR information = 99;
        NTSTATUS status = Send(control, UCHAR(major), &information);
        bool open_close =
            major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP;
        EXPECT_EQ(status, open_close ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST) << major;
        EXPECT_EQ(information, 0u);
    }

    // A device of the driver with an extension is a volume device: flush is refused there too,
    // and the routine returns what it completed with (checked by Send).
    PDEVICE_OBJECT volume = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 64, nullptr, FILE_DEVICE_DISK, 0, FALSE, &volume),
              STATUS_SUCCESS);
    EXPECT_FALSE(IsControlDevice(volume));
    EXPECT_EQ(Send(volume, IRP_MJ_FLUSH_BUFFERS), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Send(volume, IRP_MJ_PNP), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Send(volume, IRP_MJ_CREATE), STATUS_SUCCESS);
    IoDeleteDevice(volume);

    // A device without an extension that is not the kept control device is no volume either.
    PDEVICE_OBJECT stray = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &stray),
              STATUS_SUCCESS);
    EXPECT_FALSE(IsControlDevice(stray));
    EXPECT_EQ(Send(stray, IRP_MJ_READ), STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(stray);
    EXPECT_TRUE(ntos::unload_driver(driver, kTags, 2));
}

} // namespace
