// What a mount and a dismount publish: the shell notification, the device-change broadcast and the
// session's definition of the drive, as the user-mode layer records and resolves them.
#include "client_fixture.h"

#include "notify_record.h"

#include <optional>
#include <string>

namespace {

std::optional<std::u16string> dos_device(const char16_t* name)
{
    WCHAR target[300] = {};
    if (QueryDosDeviceW(name, target, 300) == 0)
        return std::nullopt;
    return std::u16string(target);
}

uint32_t le32(const std::vector<BYTE>& b, size_t offset)
{
    return b.at(offset) | b.at(offset + 1) << 8 | b.at(offset + 2) << 16 | b.at(offset + 3) << 24;
}

class NotifyTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        win32::clear_recorded_notifications();
    }

    // The one shell notification and the one broadcast that a change sends.
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
        EXPECT_EQ(m.record[16] | m.record[17], 0);
        win32::clear_recorded_notifications();
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
    EXPECT_FALSE(client_.IsLetterFree(u'M'));
    ASSERT_TRUE(client_.DisMount(u'M', false));
    expect_published(u'M', false);
    EXPECT_EQ(dos_device(u"M:"), std::nullopt);

    // A lower-case letter names the upper-case device; a CD-ROM links the CD-ROM device.
    ASSERT_TRUE(
        client_.MountNewDisk(u'n', u"C:\\b.lkb", 1 << 20, 0, false, true, nullptr, 0, true));
    expect_published(u'n', true);
    EXPECT_EQ(dos_device(u"N:"), u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskN");
    client_.NotifyVolumeChange(u'P', true, true);
    expect_published(u'P', true);
    EXPECT_EQ(dos_device(u"P:"), u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskCdP");
}

TEST_F(NotifyTest, NothingIsPublishedWithoutNotifyOrAfterAFailure)
{
    ASSERT_TRUE(client_.MountExistDisk(u'R', u"C:\\a.lkb", false, true, nullptr, 0, false));
    expect_nothing_published();
    EXPECT_EQ(dos_device(u"R:"), std::nullopt);

    ASSERT_TRUE(client_.MountExistDisk(u'U', u"C:\\a.lkb", false, true, nullptr, 0, true));
    win32::clear_recorded_notifications();
    FakeRedAvDevice::Reply refused{kStatusUnsuccessful, 0, {}};
    for (uint32_t code : {0x8520E40Cu, 0x8520E410u, 0x8520E414u})
        device_->set_reply(code, refused);
    EXPECT_FALSE(client_.MountExistDisk(u'S', u"C:\\a.lkb", false, true, nullptr, 0, true));
    EXPECT_FALSE(client_.MountNewDisk(u'S', u"C:\\a.lkb", 4096, 0, false, true, nullptr, 0, true));
    EXPECT_FALSE(client_.DisMount(u'U', true));
    expect_nothing_published();
    EXPECT_EQ(dos_device(u"S:"), std::nullopt);
    EXPECT_EQ(dos_device(u"U:"), u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskU")
        << "a failed dismount keeps the drive";
}

} // namespace
