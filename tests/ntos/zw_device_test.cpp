// Zw file services on a device handle: every call reaches the device's driver as an IRP, and
// volume controls reach the registered hook.
#include "host_env_test.h"

#include <ntifs.h>
#include <ntos_layer.h>

#include <atomic>
#include <cstring>
#include <vector>

using host_env::us;

namespace {

struct seen {
    std::vector<UCHAR> majors;
    LONGLONG offset = -1;
    ULONG length = 0;
    ULONG hook_code = 0;
    PDEVICE_OBJECT hook_device = nullptr;
};
seen g_seen;

NTSTATUS test_dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    g_seen.majors.push_back(sp->MajorFunction);
    NTSTATUS status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    if (sp->MajorFunction == IRP_MJ_READ) {
        g_seen.offset = sp->Parameters.Read.ByteOffset.QuadPart;
        g_seen.length = sp->Parameters.Read.Length;
        void* buffer = irp->MdlAddress
                           ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                           : irp->AssociatedIrp.SystemBuffer;
        std::memset(buffer, 0x5A, sp->Parameters.Read.Length);
        irp->IoStatus.Information = sp->Parameters.Read.Length;
    } else if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS test_hook(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG code, PVOID, ULONG, PVOID, ULONG,
                   ULONG_PTR* information)
{
    g_seen.hook_code = code;
    g_seen.hook_device = device;
    *information = 0;
    return code == FSCTL_LOCK_VOLUME ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
}

} // namespace

TEST(ZwDevice, HandlesOfDevicesSendRequestsToTheirDriver)
{
    host_env::start();
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(ntos::create_driver_object(u"ZwDeviceTest", &driver), STATUS_SUCCESS);
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i)
        driver->MajorFunction[i] = test_dispatch;
    std::u16string device_text = u"\\Device\\ZwTestDisk";
    std::u16string link_text = u"\\GLOBAL??\\T:";
    UNICODE_STRING device_name = us(device_text);
    UNICODE_STRING link_name = us(link_text);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_DISK, 0, FALSE, &device),
              STATUS_SUCCESS);
    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(IoCreateSymbolicLink(&link_name, &device_name), STATUS_SUCCESS);

    // As the dismount opens a volume: \??\X:, read access, shared, unbuffered.
    std::u16string volume = u"\\??\\T:";
    UNICODE_STRING name = us(volume);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE h = nullptr;
    ASSERT_EQ(ZwCreateFile(&h, GENERIC_READ | SYNCHRONIZE, &oa, &iosb, nullptr, 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                           FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING, nullptr,
                           0),
              STATUS_SUCCESS);
    ASSERT_FALSE(g_seen.majors.empty());
    EXPECT_EQ(g_seen.majors.back(), IRP_MJ_CREATE);

    std::vector<char> buffer(1024);
    LARGE_INTEGER at;
    at.QuadPart = 4096;
    EXPECT_EQ(ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer.data(), 1024, &at, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 1024u);
    EXPECT_EQ(g_seen.offset, 4096);
    EXPECT_EQ(g_seen.length, 1024u);
    EXPECT_EQ(buffer[1023], 0x5A);
    // The handle was opened for reading only.
    EXPECT_EQ(ZwWriteFile(h, nullptr, nullptr, nullptr, &iosb, buffer.data(), 512, &at, nullptr),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(
        ZwDeviceIoControlFile(h, nullptr, nullptr, nullptr, &iosb, 0x70000, nullptr, 0, nullptr, 0),
        STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(g_seen.majors.back(), IRP_MJ_DEVICE_CONTROL);

    EXPECT_EQ(ZwFsControlFile(h, nullptr, nullptr, nullptr, &iosb, FSCTL_LOCK_VOLUME, nullptr, 0,
                              nullptr, 0),
              STATUS_INVALID_DEVICE_REQUEST);
    ntos::set_volume_control_hook(test_hook);
    EXPECT_EQ(ZwFsControlFile(h, nullptr, nullptr, nullptr, &iosb, FSCTL_LOCK_VOLUME, nullptr, 0,
                              nullptr, 0),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwFsControlFile(h, nullptr, nullptr, nullptr, &iosb, FSCTL_DISMOUNT_VOLUME, nullptr,
                              0, nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(g_seen.hook_code, ULONG(FSCTL_DISMOUNT_VOLUME));
    EXPECT_EQ(g_seen.hook_device, device);
    // Other file-system controls are not volume controls.
    EXPECT_EQ(ZwFsControlFile(h, nullptr, nullptr, nullptr, &iosb, FSCTL_SET_SPARSE, nullptr, 0,
                              nullptr, 0),
              STATUS_INVALID_DEVICE_REQUEST);
    ntos::set_volume_control_hook(nullptr);

    size_t before = g_seen.majors.size();
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    ASSERT_EQ(g_seen.majors.size(), before + 2);
    EXPECT_EQ(g_seen.majors[before], IRP_MJ_CLEANUP);
    EXPECT_EQ(g_seen.majors[before + 1], IRP_MJ_CLOSE);

    IoDeleteSymbolicLink(&link_name);
    IoDeleteDevice(device);
    ntos::delete_driver_object(driver);
}
