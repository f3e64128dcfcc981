// What a mount and a dismount publish: the shell notification, the device-change broadcast and the
// session's definition of the drive, as the user-mode layer records and resolves them.
#include "client_fixture.h"

#include "dbt.h"
#include "notify_record.h"
#include "shlobj.h"
#include "winuser.h"

#include <optional>
#include <string>

namespace {

constexpr int32_t kStatusUnsuccessful = int32_t(0xC0000001);

std::optional<std::u16string> dos_device(const char16_t* name)
{
    WCHAR target[300] = {};
    if (QueryDosDeviceW(name, target, 300) == 0)
        return std::nullopt;
    return std::u16string(target);
}

uint32_t le32(const std::vector<BYTE>& b, size_t offset)
{
    return uint32_t(b.at(offset)) | uint32_t(b.at(offset + 1)) << 8 |
           uint32_t(b.at(offset + 2)) << 16 | uint32_t(b.at(offset + 3)) << 24;
}

class NotifyTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        win32::clear_recorded_notifications();
    }

    // The one shell notification and the one broadcast a change sends.
    void expect_published(char16_t letter, bool arrival)
    {
        auto shell = win32::recorded_shell_notifications();
        ASSERT_EQ(shell.size(), 1u);
        EXPECT_EQ(shell[0].event, arrival ? 0x100 : 0x80);
        EXPECT_EQ(shell[0].flags, 5u) << "SHCNF_PATHW";
        EXPECT_EQ(shell[0].item1, (std::u16string{letter, u':', u'\\'}));
        EXPECT_TRUE(shell[0].item2.empty());

        auto broadcasts = win32::recorded_broadcasts();
        ASSERT_EQ(broadcasts.size(), 1u);
        const auto& m = broadcasts[0];
        EXPECT_EQ(m.window, reinterpret_cast<HWND>(0xffff));
        EXPECT_EQ(m.message, 0x0219u);
        EXPECT_EQ(m.wparam, arrival ? 0x8000u : 0x8004u);
        EXPECT_EQ(m.flags, 2u) << "SMTO_ABORTIFHUNG";
        EXPECT_EQ(m.timeout, 200u);
        ASSERT_EQ(m.record.size(), 20u);
        EXPECT_EQ(le32(m.record, 0), 20u);
        EXPECT_EQ(le32(m.record, 4), 2u) << "DBT_DEVTYP_VOLUME";
        EXPECT_EQ(le32(m.record, 8), 0u);
        char16_t upper = letter >= u'a' ? char16_t(letter - 32) : letter;
        EXPECT_EQ(le32(m.record, 12), 1u << (upper - u'A'));
        EXPECT_EQ(m.record[16] | m.record[17] << 8, 0);
    }

    void expect_nothing_published()
    {
        EXPECT_TRUE(win32::recorded_shell_notifications().empty());
        EXPECT_TRUE(win32::recorded_broadcasts().empty());
    }
};

TEST_F(NotifyTest, MountPublishesTheDriveAndDismountWithdrawsIt)
{
    ASSERT_TRUE(client_.MountExistDisk(u'M', u"C:\\a.lkb", false, true, nullptr, 0, true));
    expect_published(u'M', true);
    EXPECT_EQ(dos_device(u"M:"), u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskM");
    EXPECT_NE(GetLogicalDrives() & (1u << 12), 0u);

    win32::clear_recorded_notifications();
    ASSERT_TRUE(client_.DisMount(u'M', false));
    expect_published(u'M', false);
    EXPECT_EQ(dos_device(u"M:"), std::nullopt);
    EXPECT_TRUE(client_.IsLetterFree(u'M'));
}

TEST_F(NotifyTest, LowerCaseLetterNamesTheUpperCaseDevice)
{
    ASSERT_TRUE(
        client_.MountNewDisk(u'n', u"C:\\b.lkb", 1 << 20, 0, false, true, nullptr, 0, true));
    expect_published(u'n', true);
    EXPECT_EQ(dos_device(u"N:"), u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskN");
}

TEST_F(NotifyTest, CdromArrivalLinksTheCdromDevice)
{
    client_.NotifyVolumeChange(u'P', true, true);
    expect_published(u'P', true);
    EXPECT_EQ(dos_device(u"P:"), u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskCdP");
}

TEST_F(NotifyTest, NothingIsPublishedWithoutNotifyOrAfterAFailure)
{
    ASSERT_TRUE(client_.MountExistDisk(u'R', u"C:\\a.lkb", false, true, nullptr, 0, false));
    expect_nothing_published();
    EXPECT_EQ(dos_device(u"R:"), std::nullopt);

    FakeRedAvDevice::Reply refused;
    refused.status = kStatusUnsuccessful;
    device_->set_reply(0x8520E410, refused);
    device_->set_reply(0x8520E40C, refused);
    EXPECT_FALSE(client_.MountExistDisk(u'S', u"C:\\a.lkb", false, true, nullptr, 0, true));
    EXPECT_FALSE(client_.MountNewDisk(u'S', u"C:\\a.lkb", 4096, 0, false, true, nullptr, 0, true));
    expect_nothing_published();
    EXPECT_EQ(dos_device(u"S:"), std::nullopt);
}

TEST_F(NotifyTest, FailedDismountKeepsTheDrive)
{
    ASSERT_TRUE(client_.MountExistDisk(u'U', u"C:\\a.lkb", false, true, nullptr, 0, true));
    win32::clear_recorded_notifications();
    FakeRedAvDevice::Reply refused;
    refused.status = kStatusUnsuccessful;
    device_->set_reply(0x8520E414, refused);
    EXPECT_FALSE(client_.DisMount(u'U', true));
    expect_nothing_published();
    EXPECT_EQ(dos_device(u"U:"), u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskU");
}

} // namespace
