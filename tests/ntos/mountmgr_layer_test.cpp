// The kernel layer's own mount manager under the real driver: the volume's suggested link is
// honoured at arrival, create point and delete points keep their records' rules.
#include "mm_mountmgr.h"
#include "mountmgr_fake_test.h"
#include "virtualdisk.h"
#include "volume_test_helper.h"

#include <gtest/gtest.h>

using namespace lockbin_test;

namespace {

using lockbin_test::linked;

std::vector<UCHAR> create_point(const std::u16string& link, const std::u16string& device)
{
    std::vector<UCHAR> record(8 + (link.size() + device.size()) * 2);
    MOUNTMGR_CREATE_POINT_INPUT p{8, USHORT(link.size() * 2), USHORT(8 + link.size() * 2),
                                  USHORT(device.size() * 2)};
    std::memcpy(record.data(), &p, sizeof(p));
    std::memcpy(record.data() + 8, link.data(), link.size() * 2);
    std::memcpy(record.data() + p.DeviceNameOffset, device.data(), device.size() * 2);
    return record;
}

NTSTATUS send(ULONG code, std::vector<UCHAR> input, std::vector<UCHAR>* output = nullptr)
{
    return SupportEx_SendDeviceIoControl(MOUNTMGR_DEVICE_NAME, code, input.data(),
                                         ULONG(input.size()), output ? output->data() : nullptr,
                                         output ? ULONG(output->size()) : 0);
}

class LayerMountManager : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(test_driver::acquire(), nullptr);
        ASSERT_EQ(ntos::detail::mountmgr_start(), STATUS_SUCCESS);
        drain_log();
    }
    void TearDown() override
    {
        for (WCHAR l = u'D'; l <= u'Z'; ++l)
            if (g_VirtualDiskList[l - u'A'])
                VirtualDisk_DisMount(l, TRUE);
        ntos::detail::mountmgr_stop();
        test_driver::release();
    }
    bool mount(WCHAR letter)
    {
        std::u16string nt = nt_path(folder_.path() + "/v" + char(letter) + ".lkb");
        std::vector<UCHAR> key(128, 9);
        return VirtualDisk_MountNewDisk(letter, nt.data(), 1 << 20, FALSE, TRUE, key.data(), 128);
    }

    temp_folder folder_;
    fake_volume_controls controls_;
};

TEST_F(LayerMountManager, ArrivalGivesTheSuggestedLetterAndDeletePointsTakesItAway)
{
    ASSERT_TRUE(mount(u'S'));
    // Linked at arrival: the driver made neither a create point nor its own link.
    EXPECT_TRUE(drain_log().empty());
    EXPECT_TRUE(linked(u"\\GLOBAL??\\S:"));
    const std::u16string device = u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskS";
    EXPECT_EQ(ntos::detail::mountmgr_letter_of(device), u'S');

    // The letter is taken now: a create point for it collides, and nothing changes.
    EXPECT_EQ(send(IOCTL_MOUNTMGR_CREATE_POINT, create_point(u"\\DosDevices\\S:", device)),
              STATUS_OBJECT_NAME_COLLISION);
    ASSERT_TRUE(VirtualDisk_DisMount(u'S', FALSE));
    EXPECT_FALSE(linked(u"\\GLOBAL??\\S:"));
    EXPECT_EQ(ntos::detail::mountmgr_letter_of(device), 0);
    EXPECT_TRUE(drain_log().empty()) << "the delete points or the teardown complained";
}

TEST_F(LayerMountManager, CreatePointAndDeletePointsByHand)
{
    ASSERT_TRUE(mount(u'S'));
    const std::u16string device = u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskS";
    EXPECT_EQ(send(IOCTL_MOUNTMGR_CREATE_POINT, create_point(u"\\DosDevices\\Q:", device)),
              STATUS_SUCCESS);
    EXPECT_TRUE(linked(u"\\GLOBAL??\\Q:"));
    // Not a drive link, a device that does not exist, a record cut short.
    EXPECT_EQ(send(IOCTL_MOUNTMGR_CREATE_POINT, create_point(u"\\DosDevices\\QQ", device)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(send(IOCTL_MOUNTMGR_CREATE_POINT,
                   create_point(u"\\DosDevices\\P:", u"\\Device\\NoSuchVolume")),
              STATUS_OBJECT_NAME_NOT_FOUND);
    std::vector<UCHAR> cut = create_point(u"\\DosDevices\\P:", device);
    cut.resize(cut.size() - 2);
    EXPECT_EQ(send(IOCTL_MOUNTMGR_CREATE_POINT, cut), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(linked(u"\\GLOBAL??\\P:"));

    std::vector<UCHAR> record(24 + device.size() * 2, 0);
    MOUNTMGR_MOUNT_POINT p{};
    p.DeviceNameOffset = 24;
    p.DeviceNameLength = USHORT(device.size() * 2);
    std::memcpy(record.data(), &p, sizeof(p));
    std::memcpy(record.data() + 24, device.data(), device.size() * 2);
    std::vector<UCHAR> out(512, 0xFF);
    EXPECT_EQ(send(IOCTL_MOUNTMGR_DELETE_POINTS, record, &out), STATUS_SUCCESS);
    ULONG points = 0;
    std::memcpy(&points, out.data() + 4, 4);
    EXPECT_EQ(points, 2u) << "both drive links of the volume";
    EXPECT_FALSE(linked(u"\\GLOBAL??\\Q:"));
    EXPECT_FALSE(linked(u"\\GLOBAL??\\S:"));
    EXPECT_EQ(send(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION, {4, 0}), STATUS_INVALID_PARAMETER);

    // Without its letter the volume cannot be dismounted; a create point gives it back.
    EXPECT_EQ(send(IOCTL_MOUNTMGR_CREATE_POINT, create_point(u"\\DosDevices\\S:", device)),
              STATUS_SUCCESS);
    EXPECT_TRUE(VirtualDisk_DisMount(u'S', FALSE));
}

} // namespace
