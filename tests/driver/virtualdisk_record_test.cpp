// The volume record's teardown, the volume table and the counted strings, over the kernel layer.
#include <gtest/gtest.h>

#include <ntifs.h>
#include <ntos_host.h>
#include <ntos_layer.h>

#include "devext.h"
#include "diskrw.h"
#include "private_host.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

const std::string& host_folder()
{
    lockbin_test::start_private_host();
    return lockbin_test::private_folder();
}

PDRIVER_OBJECT test_driver()
{
    static PDRIVER_OBJECT driver = [] {
        host_folder();
        PDRIVER_OBJECT d = nullptr;
        EXPECT_EQ(ntos::create_driver_object(u"ZELRecordTest", &d), STATUS_SUCCESS);
        return d;
    }();
    return driver;
}

ULONGLONG volume_blocks()
{
    return ntos::pool_usage(REDAV_VOLUME_POOL_TAG).blocks;
}

// What the worker saw when it was told to end: teardown must clear Started before stopping it
// and must not close the container under it.
struct WorkerExit {
    std::atomic<int> exits{0};
    BOOLEAN startedAtExit = TRUE;
    BOOLEAN fileOpenAtExit = FALSE;
} g_worker;

VOID TestWorker(PVOID Context)
{
    auto ext = (PDEVICE_EXTENSION)Context;
    for (;;) {
        KeWaitForSingleObject(&ext->RequestEvent, Executive, KernelMode, FALSE, nullptr);
        if (ext->Terminate) {
            g_worker.startedAtExit = ext->Started;
            g_worker.fileOpenAtExit = ext->FileHandle != nullptr;
            g_worker.exits++;
            PsTerminateSystemThread(STATUS_SUCCESS);
        }
    }
}

struct Parts {
    bool strings = false;
    bool keys = false;
    bool file = false;
    bool client = false;
    bool worker = false;
};

const std::u16string kDeviceName = u"\\Device\\ZELRecordTestVolume";

NTSTATUS create_device(const std::u16string& name, PDEVICE_OBJECT* device)
{
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, name.c_str());
    return IoCreateDevice(test_driver(), sizeof(DEVICE_EXTENSION), &us, FILE_DEVICE_DISK, 0, FALSE,
                          device);
}

// A record with exactly the given parts, built as the volume layer builds them.
PDEVICE_EXTENSION make_record(WCHAR letter, const Parts& p,
                              const std::u16string& name = kDeviceName)
{
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(create_device(name, &device), STATUS_SUCCESS);
    if (device == nullptr) {
        return nullptr;
    }
    auto ext = (PDEVICE_EXTENSION)device->DeviceExtension;
    memset(ext, 0, sizeof(*ext));
    ext->DeviceObject = device;
    ext->VolumeLetter = letter;
    if (p.strings) {
        ext->DeviceName = VirtualDisk_AllocateCountedString(name.c_str(), name.size());
        ext->FilePath = VirtualDisk_AllocateCountedString(u"\\??\\C:\\x.lkb", 12);
    }
    if (p.keys) {
        ext->BlowFish = (PBLOWFISH_CTX)ExAllocatePoolWithTag(NonPagedPool, sizeof(BLOWFISH_CTX),
                                                             REDAV_VOLUME_POOL_TAG);
        ext->EncryptSectors =
            (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, DISKRW_TABLE_SIZE, REDAV_VOLUME_POOL_TAG);
        UCHAR key[128] = {7};
        DeriveVolumeKeyMaterial(key, sizeof(key), ext->BlowFish, ext->EncryptSectors);
        ext->IsEncrypt = TRUE;
    }
    if (p.file) {
        std::string host = host_folder() + "/record.lkb";
        std::u16string nt = u"\\??\\C:";
        for (char c : host) {
            nt += c == '/' ? u'\\' : char16_t(c);
        }
        UNICODE_STRING us;
        RtlInitUnicodeString(&us, nt.c_str());
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                   nullptr);
        IO_STATUS_BLOCK iosb;
        // No sharing: a second open succeeds only once teardown has closed this handle.
        EXPECT_EQ(ZwCreateFile(&ext->FileHandle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa,
                               &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN_IF, 0x868,
                               nullptr, 0),
                  STATUS_SUCCESS);
    }
    if (p.client) {
        SECURITY_QUALITY_OF_SERVICE qos{};
        qos.Length = sizeof(qos);
        qos.ImpersonationLevel = SecurityImpersonation;
        qos.ContextTrackingMode = SECURITY_STATIC_TRACKING;
        EXPECT_EQ(SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, &ext->ClientContext),
                  STATUS_SUCCESS);
        ext->HasClientContext = TRUE;
    }
    if (p.worker) {
        InitializeListHead(&ext->RequestQueue);
        KeInitializeSpinLock(&ext->QueueLock);
        KeInitializeEvent(&ext->RequestEvent, SynchronizationEvent, FALSE);
        HANDLE thread = nullptr;
        EXPECT_EQ(PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       TestWorker, ext),
                  STATUS_SUCCESS);
        EXPECT_EQ(ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                            &ext->ThreadHandle, nullptr),
                  STATUS_SUCCESS);
        ZwClose(thread);
        ext->Started = TRUE;
    }
    return ext;
}

void register_record(PDEVICE_EXTENSION ext)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_VirtualDiskListLock, &irql);
    g_VirtualDiskList[ext->VolumeLetter - u'A'] = ext;
    KeReleaseSpinLock(&g_VirtualDiskListLock, irql);
}

PDEVICE_EXTENSION slot(WCHAR letter)
{
    KIRQL irql;
    KeAcquireSpinLock(&g_VirtualDiskListLock, &irql);
    PDEVICE_EXTENSION ext = g_VirtualDiskList[letter - u'A'];
    KeReleaseSpinLock(&g_VirtualDiskListLock, irql);
    return ext;
}

// The device name is free again exactly when the device was deleted.
bool name_is_free(const std::u16string& name)
{
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(create_device(name, &device))) {
        return false;
    }
    IoDeleteDevice(device);
    return true;
}

TEST(VolumeRecord, FullTeardownStopsTheWorkerFirstAndFreesTheLetterAtOnce)
{
    ULONGLONG before = volume_blocks();
    int exitsBefore = g_worker.exits;
    PDEVICE_EXTENSION ext = make_record(u'M', {true, true, true, true, true});
    ASSERT_NE(ext, nullptr);
    register_record(ext);
    EXPECT_EQ(volume_blocks(), before + 4);

    DestroyVirtualDisk(ext);
    EXPECT_EQ(g_worker.exits, exitsBefore + 1); // waited for the worker
    EXPECT_FALSE(g_worker.startedAtExit);
    EXPECT_TRUE(g_worker.fileOpenAtExit);
    EXPECT_EQ(slot(u'M'), nullptr);
    EXPECT_EQ(volume_blocks(), before);
    EXPECT_TRUE(name_is_free(kDeviceName));

    // The same letter, device name and container can be mounted again right away.
    PDEVICE_EXTENSION again = make_record(u'M', {true, true, true, false, false});
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again->FileHandle, nullptr);
    register_record(again);
    EXPECT_EQ(slot(u'M'), again);
    DestroyVirtualDisk(again);
    EXPECT_EQ(slot(u'M'), nullptr);
    EXPECT_EQ(volume_blocks(), before);
}

TEST(VolumeRecord, PartialRecordsReleaseOnlyWhatExists)
{
    const Parts cases[] = {
        {}, // the device alone, as after a failed string allocation
        {true, false, false, false, false},
        {true, true, false, true, false}, // key material and client context, no file, no worker
        {true, false, true, true, false}, // an unencrypted volume whose worker never started
    };
    for (const Parts& p : cases) {
        ULONGLONG before = volume_blocks();
        PDEVICE_EXTENSION ext = make_record(u'N', p);
        ASSERT_NE(ext, nullptr);
        DestroyVirtualDisk(ext);
        EXPECT_EQ(volume_blocks(), before);
        EXPECT_TRUE(name_is_free(kDeviceName));
        EXPECT_EQ(slot(u'N'), nullptr);
    }
    DestroyVirtualDisk(nullptr); // no record: nothing happens
    EXPECT_TRUE(name_is_free(kDeviceName));
}

TEST(VolumeRecord, TeardownOfAFailedMountLeavesTheRegisteredVolumeAlone)
{
    // A CD-ROM image and a disk have different device names, so both can exist at one letter.
    PDEVICE_EXTENSION mounted = make_record(u'P', {true, false, false, false, false});
    ASSERT_NE(mounted, nullptr);
    register_record(mounted);
    PDEVICE_EXTENSION failed =
        make_record(u'P', {true, false, false, false, false}, kDeviceName + u"Cd");
    ASSERT_NE(failed, nullptr);
    DestroyVirtualDisk(failed);
    EXPECT_EQ(slot(u'P'), mounted);
    DestroyVirtualDisk(mounted);
    EXPECT_EQ(slot(u'P'), nullptr);
}

TEST(VolumeRecord, CountedStringsCarryTheirCharactersRightAfterTheHeader)
{
    ULONGLONG before = volume_blocks();
    const std::u16string text = u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskQ";
    PUNICODE_STRING s = VirtualDisk_AllocateCountedString(text.c_str(), text.size());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Length, text.size() * 2);
    EXPECT_EQ(s->MaximumLength, text.size() * 2 + 2);
    EXPECT_EQ((PUCHAR)s->Buffer, (PUCHAR)s + sizeof(UNICODE_STRING));
    EXPECT_EQ(std::u16string(s->Buffer, text.size()), text);
    EXPECT_EQ(s->Buffer[text.size()], 0);
    EXPECT_EQ(volume_blocks(), before + 1);
    ExFreePoolWithTag(s, REDAV_VOLUME_POOL_TAG);

    PUNICODE_STRING empty = VirtualDisk_AllocateCountedString(u"", 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->Length, 0);
    EXPECT_EQ(empty->MaximumLength, 2);
    EXPECT_EQ(empty->Buffer[0], 0);
    ExFreePoolWithTag(empty, REDAV_VOLUME_POOL_TAG);

    // The largest text whose MaximumLength still fits 16 bits, and one character more.
    std::u16string longest(32766, u'x');
    PUNICODE_STRING big = VirtualDisk_AllocateCountedString(longest.c_str(), longest.size());
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->MaximumLength, 65534);
    ExFreePoolWithTag(big, REDAV_VOLUME_POOL_TAG);
    longest += u'x';
    EXPECT_EQ(VirtualDisk_AllocateCountedString(longest.c_str(), longest.size()), nullptr);
    EXPECT_EQ(volume_blocks(), before);
}

TEST(VolumeRecord, FileInitializeStoresTheDriverAndReadiesTheMountMutex)
{
    ASSERT_EQ(File_Initialize(test_driver()), STATUS_SUCCESS);
    EXPECT_EQ(g_VirtualDiskDriverObject, test_driver());
    EXPECT_EQ(KeWaitForSingleObject(&g_MountMutex, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&g_MountMutex), 0);
    KeReleaseMutex(&g_MountMutex, FALSE);
    EXPECT_EQ(KeReadStateMutex(&g_MountMutex), 1);
    KIRQL irql;
    KeAcquireSpinLock(&g_VirtualDiskListLock, &irql);
    KeReleaseSpinLock(&g_VirtualDiskListLock, irql);
}

} // namespace
