// The volume request path in process: requests sent through the driver's dispatch as a bridge
// sends them, over real containers.
#include "volume_test_helper.h"

#include "se_internal.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

using lockbin_test::drain_log;
using lockbin_test::log_has;
using lockbin_test::test_volume;
using lockbin_test::volume_options;

NTSTATUS rw(PDEVICE_OBJECT device, bool write, LONGLONG offset, void* data, ULONG length,
            ULONG_PTR* information)
{
    ntos::request what;
    what.major = write ? IRP_MJ_WRITE : IRP_MJ_READ;
    what.offset = offset;
    if (write) {
        what.input = data;
        what.input_length = length;
    } else {
        what.output = data;
        what.output_length = length;
    }
    return ntos::send_request(device, nullptr, what, information);
}

std::vector<UCHAR> pattern(size_t size, UCHAR seed)
{
    std::vector<UCHAR> out(size);
    for (size_t i = 0; i < size; ++i)
        out[i] = static_cast<UCHAR>(seed + i * 7 + (i >> 9));
    return out;
}

std::vector<UCHAR> host_bytes(const std::string& path, size_t offset, size_t length)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::vector<UCHAR> out(length);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(length));
    return out;
}

class VolumePath : public ::testing::Test {
protected:
    void SetUp() override
    {
        volume_ = std::make_unique<test_volume>(volume_options{});
        ASSERT_TRUE(volume_->ok());
        drain_log();
    }
    PDEVICE_OBJECT device() { return volume_->device(); }
    PDEVICE_EXTENSION ext() { return volume_->ext(); }
    std::unique_ptr<test_volume> volume_;
};

TEST_F(VolumePath, ZeroLengthReadSucceedsAndIsLogged)
{
    ULONG_PTR information = 99;
    EXPECT_EQ(rw(device(), false, 0, nullptr, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_TRUE(log_has(drain_log(), u"[redav] Length is Zero!"));
}

TEST_F(VolumePath, RangeEndsAtFileSize)
{
    const LONGLONG size = ext()->FileSize;
    std::vector<UCHAR> buffer(4096, 0xA5);
    ULONG_PTR information = 0;
    EXPECT_EQ(rw(device(), false, size - 4096, buffer.data(), 4096, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 4096u);

    // One byte further, aligned or not: refused before anything is read.
    std::fill(buffer.begin(), buffer.end(), 0xA5);
    EXPECT_EQ(rw(device(), false, size - 4095, buffer.data(), 4096, &information),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(rw(device(), false, size - 3584, buffer.data(), 4096, &information),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rw(device(), true, size, buffer.data(), 512, &information), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer, std::vector<UCHAR>(4096, 0xA5));
    auto log = drain_log();
    EXPECT_TRUE(log_has(
        log, u"[redav] Out Of FileSize(bWrite=0, Offset=8384513, Length=4096, FileSize=8388608)!"));
}

TEST_F(VolumePath, OffsetsThatWouldReachOutsideTheDiskAreRefused)
{
    // A negative offset would land in the hidden header sector; a huge one would overflow the
    // end check.
    std::vector<UCHAR> data(512, 0x77);
    ULONG_PTR information = 0;
    EXPECT_EQ(rw(device(), true, -512, data.data(), 512, &information), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rw(device(), true, 0x7FFFFFFFFFFFFE00LL, data.data(), 512, &information),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host_bytes(volume_->container(), 0, 512), std::vector<UCHAR>(512, 0));
    // Parts of sectors never reach the container: it is unbuffered and the transform works on
    // whole sectors.
    EXPECT_EQ(rw(device(), true, 100, data.data(), 512, &information), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(rw(device(), false, 0, data.data(), 100, &information), STATUS_INVALID_PARAMETER);
}

TEST_F(VolumePath, WritesAreStoredEncryptedAndReadBack)
{
    auto data = pattern(64 * 1024, 3);
    auto sent = data;
    ULONG_PTR information = 0;
    ASSERT_EQ(rw(device(), true, 512 * 9, data.data(), 64 * 1024, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 64u * 1024);
    EXPECT_EQ(data, sent) << "the caller's buffer was changed";

    auto stored = host_bytes(volume_->container(), 512 + 512 * 9, 64 * 1024);
    EXPECT_NE(stored, sent);
    std::vector<UCHAR> back(64 * 1024);
    ASSERT_EQ(rw(device(), false, 512 * 9, back.data(), 64 * 1024, &information), STATUS_SUCCESS);
    EXPECT_EQ(back, sent);
    // The hidden sectors around the disk stay as they were.
    EXPECT_EQ(host_bytes(volume_->container(), 0, 512), std::vector<UCHAR>(512, 0));
}

TEST(VolumePathPlain, UnencryptedDiskSectorNSitsAtFileOffset512PlusN)
{
    volume_options options;
    options.encrypt = false;
    test_volume volume(options);
    ASSERT_TRUE(volume.ok());
    auto data = pattern(1024, 9);
    ULONG_PTR information = 0;
    ASSERT_EQ(rw(volume.device(), true, 2048, data.data(), 1024, &information), STATUS_SUCCESS);
    EXPECT_EQ(host_bytes(volume.container(), 512 + 2048, 1024), data);
}

TEST_F(VolumePath, AccessStatesReadOnlyAndDeny)
{
    std::vector<UCHAR> buffer(512, 1);
    ULONG_PTR information = 0;
    ext()->VolumeRWStatus = 1;
    EXPECT_EQ(rw(device(), false, 0, buffer.data(), 512, &information), STATUS_SUCCESS);
    EXPECT_EQ(rw(device(), true, 0, buffer.data(), 512, &information), STATUS_ACCESS_DENIED);
    EXPECT_EQ(information, 0u);
    EXPECT_TRUE(log_has(drain_log(), u"[redav] VolumeRWStatus is ReadOnly, Write Denied!"));
    ext()->VolumeRWStatus = 2;
    EXPECT_EQ(rw(device(), false, 0, buffer.data(), 512, &information), STATUS_ACCESS_DENIED);
    EXPECT_EQ(rw(device(), true, 0, buffer.data(), 512, &information), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(log_has(drain_log(), u"[redav] VolumeRWStatus is Disabled!"));
    ext()->VolumeRWStatus = 0;
    EXPECT_EQ(rw(device(), true, 0, buffer.data(), 512, &information), STATUS_SUCCESS);
}

TEST_F(VolumePath, StoppedVolumeRefusesEveryRequestAndNamesItsLetter)
{
    ext()->Started = FALSE;
    std::vector<UCHAR> buffer(512);
    ULONG_PTR information = 7;
    EXPECT_EQ(rw(device(), false, 0, buffer.data(), 512, &information), STATUS_ACCESS_DENIED);
    EXPECT_EQ(information, 0u);
    ntos::request query;
    query.major = IRP_MJ_DEVICE_CONTROL;
    query.code = 0x7405C; // length query
    query.output = buffer.data();
    query.output_length = 8;
    EXPECT_EQ(ntos::send_request(device(), nullptr, query, &information), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(log_has(drain_log(), u"[redav] Virtual Disk T is OutOfWork!"));
    ext()->Started = TRUE;
}

TEST_F(VolumePath, RequestsAreServedInArrivalOrder)
{
    // Many writes of the same sector in flight at once: the last one sent must win, and they
    // must complete in the order sent.
    constexpr int kCount = 64;
    struct pending {
        KEVENT event;
        IO_STATUS_BLOCK iosb;
        std::vector<UCHAR> data;
    };
    std::vector<pending> sent(kCount);
    for (int i = 0; i < kCount; ++i) {
        sent[i].data.assign(512, static_cast<UCHAR>(i + 1));
        KeInitializeEvent(&sent[i].event, NotificationEvent, FALSE);
        LARGE_INTEGER at;
        at.QuadPart = 4096;
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, device(), sent[i].data.data(), 512,
                                                &at, &sent[i].event, &sent[i].iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(IoCallDriver(device(), irp), STATUS_PENDING);
    }
    for (int i = 0; i < kCount; ++i) {
        KeWaitForSingleObject(&sent[i].event, Executive, KernelMode, FALSE, nullptr);
        EXPECT_EQ(sent[i].iosb.Status, STATUS_SUCCESS);
        // When request i is complete, every request sent before it must be complete too.
        for (int j = 0; j < i; ++j)
            EXPECT_NE(KeReadStateEvent(&sent[j].event), 0);
    }
    std::vector<UCHAR> back(512);
    ULONG_PTR information = 0;
    ASSERT_EQ(rw(device(), false, 4096, back.data(), 512, &information), STATUS_SUCCESS);
    EXPECT_EQ(back, std::vector<UCHAR>(512, kCount));
}

TEST_F(VolumePath, RequestsStillQueuedAtTeardownAreRefusedNotLeftPending)
{
    // Requests that reached the queue before Started was cleared but that the worker has not
    // yet picked up: teardown must complete every one.
    constexpr int kCount = 8;
    KEVENT events[kCount];
    IO_STATUS_BLOCK iosb[kCount];
    std::vector<UCHAR> buffer(512 * kCount);
    KIRQL irql;
    KeAcquireSpinLock(&ext()->QueueLock, &irql);
    for (int i = 0; i < kCount; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, FALSE);
        LARGE_INTEGER at;
        at.QuadPart = 0;
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, device(), buffer.data() + 512 * i, 512,
                                                &at, &events[i], &iosb[i]);
        IoSetNextIrpStackLocation(irp);
        IoGetCurrentIrpStackLocation(irp)->DeviceObject = device();
        IoMarkIrpPending(irp);
        InsertTailList(&ext()->RequestQueue, &irp->Tail.Overlay.ListEntry);
    }
    KeReleaseSpinLock(&ext()->QueueLock, irql);
    volume_->destroy();
    for (int i = 0; i < kCount; ++i) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10LL * 1000 * 1000 * 5;
        ASSERT_EQ(KeWaitForSingleObject(&events[i], Executive, KernelMode, FALSE, &timeout),
                  STATUS_SUCCESS);
        EXPECT_EQ(iosb[i].Status, STATUS_ACCESS_DENIED);
        EXPECT_EQ(iosb[i].Information, 0u);
    }
}

TEST_F(VolumePath, RequestWithoutABufferIsRefused)
{
    PIRP irp = IoAllocateIrp(device()->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    irp->UserEvent = &event;
    irp->UserIosb = &iosb;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_READ;
    stack->Parameters.Read.Length = 512;
    stack->Parameters.Read.ByteOffset.QuadPart = 0;
    if (IoCallDriver(device(), irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(iosb.Information, 0u);
    EXPECT_TRUE(log_has(drain_log(), u"[redav] OrigBuf is NULL!"));
}

TEST_F(VolumePath, FailedFileReadLeavesTheCallersBufferAlone)
{
    // A container handle that no longer works: the file system refuses the read.
    HANDLE real = ext()->FileHandle;
    ext()->FileHandle = reinterpret_cast<HANDLE>(0x7FFFFFF0);
    std::vector<UCHAR> buffer(1024, 0x5C);
    ULONG_PTR information = 9;
    NTSTATUS status = rw(device(), false, 1024, buffer.data(), 1024, &information);
    ext()->FileHandle = real;
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(buffer, std::vector<UCHAR>(1024, 0x5C));
    EXPECT_TRUE(log_has(drain_log(), u"[redav] T: DiskRW_Write/DiskRW_Read failed!!(bWrite=0, "
                                     u"DiskOffset=1536, Length=1024)"));
}

TEST(VolumeWorker, RunsAtLowRealtimePriorityWithImpersonationEnabled)
{
    // Off first, so that only the worker can have turned it on.
    ASSERT_EQ(SupportEx_AdjustPrivilege(29, FALSE), STATUS_SUCCESS);
    PACCESS_TOKEN token = ntos::detail::se_primary_token(PsInitialSystemProcess());
    ASSERT_NE(token, nullptr);
    EXPECT_FALSE(ntos::detail::se_token_privilege_enabled(token, 29));

    volume_options options;
    options.letter = u'W';
    test_volume volume(options);
    ASSERT_TRUE(volume.ok());
    // A request answered means the worker is past its start.
    std::vector<UCHAR> buffer(512);
    ULONG_PTR information = 0;
    ASSERT_EQ(rw(volume.device(), false, 0, buffer.data(), 512, &information), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryPriorityThread(static_cast<PKTHREAD>(volume.ext()->ThreadHandle)),
              LOW_REALTIME_PRIORITY);
    EXPECT_TRUE(ntos::detail::se_token_privilege_enabled(token, 29));
    ntos::detail::ob_dereference(token);
}

TEST_F(VolumePath, BounceBuffersAreReturned)
{
    const auto before = ntos::pool_usage(REDAV_VOLUME_POOL_TAG);
    std::vector<UCHAR> buffer(1 << 20);
    ULONG_PTR information = 0;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(rw(device(), true, 0, buffer.data(), 1 << 20, &information), STATUS_SUCCESS);
        ASSERT_EQ(rw(device(), false, 0, buffer.data(), 1 << 20, &information), STATUS_SUCCESS);
    }
    const auto after = ntos::pool_usage(REDAV_VOLUME_POOL_TAG);
    EXPECT_EQ(after.blocks, before.blocks);
    EXPECT_EQ(after.bytes, before.bytes);
}

TEST(VolumePathCdrom, ImageIsReadFromOffsetZeroWithoutDecryption)
{
    lockbin_test::temp_folder folder;
    std::string image = folder.path() + "/disc.iso";
    auto content = pattern(64 * 1024, 42);
    {
        std::ofstream out(image, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()),
                  static_cast<std::streamsize>(content.size()));
    }
    volume_options options;
    options.cdrom = true;
    options.image = image;
    test_volume volume(options);
    ASSERT_TRUE(volume.ok());
    EXPECT_EQ(volume.ext()->FileSize, 64 * 1024);
    std::vector<UCHAR> back(4096);
    ULONG_PTR information = 0;
    ASSERT_EQ(rw(volume.device(), false, 0, back.data(), 4096, &information), STATUS_SUCCESS);
    EXPECT_EQ(back, std::vector<UCHAR>(content.begin(), content.begin() + 4096));
    // The image is opened for reading only, so a write fails in the file system.
    EXPECT_NE(rw(volume.device(), true, 0, back.data(), 512, &information), STATUS_SUCCESS);
}

} // namespace
