// Announcing volumes to the mount manager (and its two fallbacks), the dismount with its retries
// and Force, and the dismount of everything at shutdown, over the test mount manager.
#include "mountmgr_fake_test.h"
#include "virtualdisk.h"
#include "volume_test_helper.h"

#include <gtest/gtest.h>

using namespace lockbin_test;
using mode = fake_mount_manager::mode;

namespace {

constexpr LONGLONG kDiskSize = 2 << 20;

bool letter_linked(WCHAR letter)
{
    std::u16string name = u"\\GLOBAL??\\";
    name.push_back(letter);
    name += u":";
    return lockbin_test::linked(name);
}

size_t count_of(const std::vector<std::u16string>& log, const std::u16string& text)
{
    return size_t(std::count(log.begin(), log.end(), text));
}

class MountManagerDismount : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(test_driver::acquire(), nullptr);
        drain_log();
    }
    void TearDown() override
    {
        controls_.set_busy(false);
        for (WCHAR l = u'D'; l <= u'Z'; ++l)
            if (g_VirtualDiskList[l - u'A'])
                VirtualDisk_DisMount(l, TRUE);
        manager_.reset();
        test_driver::release();
    }

    void start_manager(mode m)
    {
        manager_ = std::make_unique<fake_mount_manager>(m);
        ASSERT_TRUE(manager_->ok());
    }

    bool mount(WCHAR letter, const char* name = "v.lkb")
    {
        std::u16string nt = nt_path(folder_.path() + "/" + name);
        std::vector<UCHAR> key(128, 0x42);
        return VirtualDisk_MountNewDisk(letter, nt.data(), kDiskSize, FALSE, TRUE, key.data(),
                                        ULONG(key.size()));
    }

    static NTSTATUS read_first_sector(WCHAR letter)
    {
        PDEVICE_EXTENSION ext = g_VirtualDiskList[letter - u'A'];
        if (!ext)
            return STATUS_NO_SUCH_DEVICE;
        std::vector<UCHAR> sector(512);
        ntos::request r;
        r.major = IRP_MJ_READ;
        r.output = sector.data();
        r.output_length = 512;
        ULONG_PTR info = 0;
        return ntos::send_request(ext->DeviceObject, nullptr, r, &info);
    }

    temp_folder folder_;
    std::unique_ptr<fake_mount_manager> manager_;
    fake_volume_controls controls_;
};

TEST_F(MountManagerDismount, SuggestedLetterAtArrivalNeedsNoCreatePointNorGlobalLink)
{
    start_manager(mode::link_at_arrival);
    ASSERT_TRUE(mount(u'T'));
    auto calls = manager_->calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, ULONG(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION));
    EXPECT_EQ(calls[0].device, u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskT");
    EXPECT_TRUE(drain_log().empty());

    ASSERT_TRUE(VirtualDisk_DisMount(u'T', FALSE));
    calls = manager_->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].code, ULONG(IOCTL_MOUNTMGR_DELETE_POINTS));
    EXPECT_EQ(calls[1].device, u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskT");
    EXPECT_FALSE(letter_linked(u'T'));
    EXPECT_EQ(g_VirtualDiskList[u'T' - u'A'], nullptr);
    EXPECT_EQ(controls_.count(FSCTL_LOCK_VOLUME), 1);
    EXPECT_EQ(controls_.count(FSCTL_DISMOUNT_VOLUME), 1);
    EXPECT_EQ(controls_.count(FSCTL_UNLOCK_VOLUME), 1);
    // The letter is free again at once.
    EXPECT_TRUE(mount(u'T'));
}

TEST_F(MountManagerDismount, CreatePointCarriesTheDosLinkAndTheDeviceName)
{
    start_manager(mode::link_at_create_point);
    ASSERT_TRUE(mount(u'K'));
    auto calls = manager_->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].code, ULONG(IOCTL_MOUNTMGR_CREATE_POINT));
    EXPECT_EQ(calls[1].link, u"\\DosDevices\\K:");
    EXPECT_EQ(calls[1].device, u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskK");
    EXPECT_TRUE(letter_linked(u'K'));
}

TEST_F(MountManagerDismount, RefusingMountManagerLeavesTheGlobalLinkFallback)
{
    start_manager(mode::refuse);
    ASSERT_TRUE(mount(u'M'));
    auto log = drain_log();
    EXPECT_TRUE(log_has(log, u"[redav] SupportEx_SendDeviceIoControl(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_"
                             u"NOTIFICATION) failed!(VolumeLetter=M, status=0xc0000010)"));
    EXPECT_TRUE(log_has(log, u"[redav] SupportEx_SendDeviceIoControl(IOCTL_MOUNTMGR_CREATE_POINT) "
                             u"failed!(VolumeLetter=M, status=0xc0000010)"));
    EXPECT_TRUE(letter_linked(u'M'));

    ASSERT_TRUE(VirtualDisk_DisMount(u'M', FALSE));
    EXPECT_TRUE(log_has(drain_log(), u"[redav] SupportEx_SendDeviceIoControl(IOCTL_MOUNTMGR_DELETE_"
                                     u"POINTS) failed!(VolumeLetter=M, status=0xc0000010)"));
    EXPECT_FALSE(letter_linked(u'M')) << "the fallback link outlived the volume";
}

TEST_F(MountManagerDismount, NoMountManagerAtAllStillMountsThroughTheFallback)
{
    ASSERT_TRUE(mount(u'N'));
    EXPECT_TRUE(letter_linked(u'N'));
    ASSERT_TRUE(VirtualDisk_DisMount(u'N', FALSE));
    EXPECT_FALSE(letter_linked(u'N'));
}

TEST_F(MountManagerDismount, BusyVolumeFailsTenTimesStaysUsableAndForceDismountsIt)
{
    start_manager(mode::link_at_arrival);
    ASSERT_TRUE(mount(u'T'));
    drain_log();
    controls_.set_busy(true);
    EXPECT_FALSE(VirtualDisk_DisMount(u'T', FALSE));
    auto log = drain_log();
    const std::u16string attempt = u"[redav] _DisMountVolume failed!(VolumeLetter=T, Force=0)";
    EXPECT_EQ(count_of(log, attempt), 10u);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(),
              u"[redav] Max Retry Count Reached! _DisMountVolume failed!(VolumeLetter=T, Force=0)");
    EXPECT_EQ(count_of(log, u"[redav] ZwFsControlFile(LOCK) failed!(VolumeLetter=T, "
                            u"status=0xc0000022)"),
              10u);
    EXPECT_EQ(controls_.count(FSCTL_DISMOUNT_VOLUME), 0) << "dismounted without the lock";
    EXPECT_EQ(read_first_sector(u'T'), STATUS_SUCCESS) << "the volume no longer works";
    EXPECT_TRUE(letter_linked(u'T'));

    const int locks = controls_.count(FSCTL_LOCK_VOLUME);
    EXPECT_TRUE(VirtualDisk_DisMount(u'T', TRUE));
    EXPECT_EQ(controls_.count(FSCTL_LOCK_VOLUME), locks + 1) << "more than one forced attempt";
    EXPECT_EQ(controls_.count(FSCTL_DISMOUNT_VOLUME), 1);
    EXPECT_EQ(g_VirtualDiskList[u'T' - u'A'], nullptr);
    EXPECT_FALSE(letter_linked(u'T'));
}

TEST_F(MountManagerDismount, NothingToDismountAndVanishedLinks)
{
    EXPECT_FALSE(VirtualDisk_DisMount(u'Q', FALSE));
    EXPECT_TRUE(drain_log().empty()) << "an empty letter wrote a record";

    start_manager(mode::link_at_arrival);
    ASSERT_TRUE(mount(u'T'));
    manager_.reset(); // takes the link it made with it
    ASSERT_FALSE(letter_linked(u'T'));
    drain_log();
    EXPECT_FALSE(VirtualDisk_DisMount(u'T', TRUE));
    auto log = drain_log();
    EXPECT_EQ(count_of(log, u"[redav] Werid, VolumeLetter is NonExist"), 10u);
    EXPECT_NE(g_VirtualDiskList[u'T' - u'A'], nullptr);

    // Shutdown cannot dismount it either and says so; once the letter is back it can.
    File_Uninitialize();
    EXPECT_TRUE(log_has(drain_log(), u"[redav] _DisMountVolume failed!(VolumeLetter=T)"));
    ASSERT_NE(g_VirtualDiskList[u'T' - u'A'], nullptr);
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\GLOBAL??\\T:");
    RtlInitUnicodeString(&target, u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskT");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_TRUE(VirtualDisk_DisMount(u'T', FALSE));
    EXPECT_FALSE(letter_linked(u'T'));
}

TEST_F(MountManagerDismount, ShutdownDismountsBusyVolumesForcibly)
{
    start_manager(mode::link_at_arrival);
    ASSERT_TRUE(mount(u'E', "e.lkb"));
    ASSERT_TRUE(mount(u'Z', "z.lkb"));
    controls_.set_busy(true);
    drain_log();
    File_Uninitialize();
    for (WCHAR l : {u'E', u'Z'}) {
        EXPECT_EQ(g_VirtualDiskList[l - u'A'], nullptr) << char(l);
        EXPECT_FALSE(letter_linked(l)) << char(l);
    }
    // One plain and one forced attempt each, no retries.
    EXPECT_EQ(controls_.count(FSCTL_LOCK_VOLUME), 4);
    EXPECT_EQ(controls_.count(FSCTL_DISMOUNT_VOLUME), 2);
}

} // namespace
