// The disk queries of a volume device, sent through the driver's dispatch and the volume's
// worker as the mount manager and the file systems send them.
#include "volume_test_helper.h"

#include <mountdev.h>
#include <ntddcdrm.h>
#include <ntdddisk.h>
#include <ntddvol.h>

#include <gtest/gtest.h>

#include <fstream>

namespace {

using lockbin_test::drain_log;
using lockbin_test::log_has;
using lockbin_test::test_volume;
using lockbin_test::volume_options;

struct answer {
    NTSTATUS status;
    ULONG_PTR information;
    std::vector<UCHAR> output;
};

answer ask(PDEVICE_OBJECT device, ULONG code, ULONG output_length,
           const std::vector<UCHAR>& input = {})
{
    answer a;
    // Filled so that bytes the driver leaves alone show up.
    a.output.assign(output_length, 0xCC);
    ntos::request what;
    what.major = IRP_MJ_DEVICE_CONTROL;
    what.code = code;
    what.input = input.empty() ? nullptr : input.data();
    what.input_length = static_cast<ULONG>(input.size());
    what.output = a.output.empty() ? nullptr : a.output.data();
    what.output_length = output_length;
    a.information = 0xDEAD;
    a.status = ntos::send_request(device, nullptr, what, &a.information);
    return a;
}

template <typename T> T as(const answer& a)
{
    T value;
    std::memcpy(&value, a.output.data(), sizeof(T));
    return value;
}

std::u16string text_at(const answer& a, size_t offset, size_t bytes)
{
    std::u16string out(bytes / 2, u'\0');
    std::memcpy(out.data(), a.output.data() + offset, bytes);
    return out;
}

class DiskQuery : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        volume_options options;
        options.letter = u'Q';
        options.disk_size = 100LL << 20;
        volume_ = new test_volume(options);
    }
    static void TearDownTestSuite()
    {
        delete volume_;
        volume_ = nullptr;
    }
    void SetUp() override
    {
        ASSERT_TRUE(volume_->ok());
        drain_log();
    }
    PDEVICE_OBJECT device() { return volume_->device(); }
    static test_volume* volume_;
};
test_volume* DiskQuery::volume_ = nullptr;

TEST_F(DiskQuery, HundredMebibyteGeometryLengthAndPartition)
{
    for (ULONG code : std::initializer_list<ULONG>{IOCTL_DISK_GET_DRIVE_GEOMETRY,
                                                   IOCTL_CDROM_GET_DRIVE_GEOMETRY}) {
        answer a = ask(device(), code, 24);
        ASSERT_EQ(a.status, STATUS_SUCCESS);
        EXPECT_EQ(a.information, 24u);
        auto g = as<DISK_GEOMETRY>(a);
        EXPECT_EQ(g.Cylinders.QuadPart, 3200);
        EXPECT_EQ(g.MediaType, FixedMedia);
        EXPECT_EQ(g.TracksPerCylinder, 2u);
        EXPECT_EQ(g.SectorsPerTrack, 32u);
        EXPECT_EQ(g.BytesPerSector, 512u);
    }
    answer length = ask(device(), IOCTL_DISK_GET_LENGTH_INFO, 8);
    ASSERT_EQ(length.status, STATUS_SUCCESS);
    EXPECT_EQ(length.information, 8u);
    EXPECT_EQ(as<LONGLONG>(length), 100LL << 20);

    answer part = ask(device(), IOCTL_DISK_GET_PARTITION_INFO, 32);
    ASSERT_EQ(part.status, STATUS_SUCCESS);
    EXPECT_EQ(part.information, 32u);
    auto p = as<PARTITION_INFORMATION>(part);
    EXPECT_EQ(p.StartingOffset.QuadPart, 0);
    EXPECT_EQ(p.PartitionLength.QuadPart, 100LL << 20);
    EXPECT_EQ(p.HiddenSectors, 1u);
    EXPECT_EQ(p.PartitionNumber, 0u);
    EXPECT_EQ(p.PartitionType, 0);
    EXPECT_FALSE(p.BootIndicator || p.RecognizedPartition || p.RewritePartition);
}

TEST_F(DiskQuery, PartitionExIsTheMbrFormWithEveryOtherByteZero)
{
    answer a = ask(device(), IOCTL_DISK_GET_PARTITION_INFO_EX, 200);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.information, 144u);
    // Expected record built field by field at the published offsets.
    std::vector<UCHAR> expect(144, 0);
    LONGLONG length = 100LL << 20;
    std::memcpy(expect.data() + 16, &length, 8); // PartitionLength
    ULONG hidden = 1;
    std::memcpy(expect.data() + 36, &hidden, 4); // Mbr.HiddenSectors
    EXPECT_EQ(std::vector<UCHAR>(a.output.begin(), a.output.begin() + 144), expect);
}

TEST_F(DiskQuery, DriveLayoutHoldsOneWholeDiskPartition)
{
    answer a = ask(device(), IOCTL_DISK_GET_DRIVE_LAYOUT, 40);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(a.information, 40u);
    auto layout = as<DRIVE_LAYOUT_INFORMATION>(a);
    EXPECT_EQ(layout.PartitionCount, 1u);
    EXPECT_EQ(layout.Signature, 0u);
    EXPECT_EQ(layout.PartitionEntry[0].PartitionLength.QuadPart, 100LL << 20);
    EXPECT_EQ(layout.PartitionEntry[0].HiddenSectors, 1u);
}

TEST_F(DiskQuery, OutputsBelowTheirRecordAreTooSmall)
{
    const std::pair<ULONG, ULONG> minimum[] = {
        {IOCTL_DISK_GET_DRIVE_GEOMETRY, 24},
        {IOCTL_CDROM_GET_DRIVE_GEOMETRY, 24},
        {IOCTL_DISK_GET_LENGTH_INFO, 8},
        {IOCTL_DISK_GET_PARTITION_INFO, 32},
        {IOCTL_DISK_GET_PARTITION_INFO_EX, 144},
        {IOCTL_DISK_GET_DRIVE_LAYOUT, 40},
        {IOCTL_CDROM_READ_TOC, 804},
        {IOCTL_CDROM_GET_LAST_SESSION, 12},
    };
    for (auto [code, size] : minimum) {
        answer a = ask(device(), code, size - 1);
        EXPECT_EQ(a.status, STATUS_BUFFER_TOO_SMALL) << std::hex << code;
        EXPECT_EQ(a.information, 0u) << std::hex << code;
    }
}

TEST_F(DiskQuery, MountDeviceNamesAskAgainWithTheNeededLength)
{
    const std::u16string name = u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskQ";
    for (ULONG code : std::initializer_list<ULONG>{IOCTL_MOUNTDEV_QUERY_UNIQUE_ID,
                                                   IOCTL_MOUNTDEV_QUERY_DEVICE_NAME}) {
        answer small = ask(device(), code, 4);
        EXPECT_EQ(small.status, STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(small.information, 4u);
        EXPECT_EQ(as<USHORT>(small), 76);
        answer exact = ask(device(), code, 77);
        EXPECT_EQ(exact.status, STATUS_BUFFER_OVERFLOW);
        answer full = ask(device(), code, 100);
        ASSERT_EQ(full.status, STATUS_SUCCESS);
        EXPECT_EQ(full.information, 78u);
        EXPECT_EQ(as<USHORT>(full), 76);
        EXPECT_EQ(text_at(full, 2, 76), name);
        // Fewer bytes than the length field itself: nothing is claimed written.
        answer tiny = ask(device(), code, 3);
        EXPECT_EQ(tiny.status, STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(tiny.information, 0u);
    }
}

TEST_F(DiskQuery, SuggestedLinkIsTheDriveLetter)
{
    answer five = ask(device(), IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME, 5);
    EXPECT_EQ(five.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(five.information, 0u);
    answer six = ask(device(), IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME, 6);
    EXPECT_EQ(six.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(six.information, 6u);
    EXPECT_EQ(six.output[0], 0);
    USHORT length;
    std::memcpy(&length, six.output.data() + 2, 2);
    EXPECT_EQ(length, 28);
    answer full = ask(device(), IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME, 64);
    ASSERT_EQ(full.status, STATUS_SUCCESS);
    EXPECT_EQ(full.information, 32u);
    EXPECT_EQ(text_at(full, 4, 28), u"\\DosDevices\\Q:");
}

TEST_F(DiskQuery, VerificationRemovalAndVolumeRequests)
{
    for (ULONG code :
         std::initializer_list<ULONG>{IOCTL_DISK_CHECK_VERIFY, IOCTL_CDROM_CHECK_VERIFY,
                                      IOCTL_STORAGE_CHECK_VERIFY, IOCTL_STORAGE_CHECK_VERIFY2}) {
        answer with = ask(device(), code, 4);
        EXPECT_EQ(with.status, STATUS_SUCCESS);
        EXPECT_EQ(with.information, 4u);
        EXPECT_EQ(as<ULONG>(with), 0u);
        answer without = ask(device(), code, 0);
        EXPECT_EQ(without.status, STATUS_SUCCESS);
        EXPECT_EQ(without.information, 0u);
    }
    for (ULONG code : std::initializer_list<ULONG>{
             IOCTL_DISK_MEDIA_REMOVAL, IOCTL_STORAGE_MEDIA_REMOVAL, IOCTL_VOLUME_ONLINE})
        EXPECT_EQ(ask(device(), code, 0, {1}).status, STATUS_SUCCESS) << std::hex << code;

    std::vector<UCHAR> verify(16, 0);
    ULONG verify_length = 65536;
    std::memcpy(verify.data() + 8, &verify_length, 4);
    answer ok = ask(device(), IOCTL_DISK_VERIFY, 0, verify);
    EXPECT_EQ(ok.status, STATUS_SUCCESS);
    EXPECT_EQ(ok.information, 65536u);
    verify.resize(15);
    EXPECT_EQ(ask(device(), IOCTL_DISK_VERIFY, 0, verify).status, STATUS_INVALID_PARAMETER);

    // The layer reports version 6.2, where the extents query is not answered.
    EXPECT_EQ(ask(device(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, 32).status,
              STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(DiskQuery, WritableFollowsTheMountNotTheAccessState)
{
    volume_->ext()->VolumeRWStatus = 2;
    EXPECT_EQ(ask(device(), IOCTL_DISK_IS_WRITABLE, 0).status, STATUS_SUCCESS);
    volume_->ext()->VolumeRWStatus = 0;
    EXPECT_EQ(ask(device(), IOCTL_DISK_SET_PARTITION_INFO, 0).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ask(device(), IOCTL_DISK_SET_PARTITION_INFO, 0, {7}).status, STATUS_SUCCESS);

    // A read-only mount of a container made here.
    volume_options options;
    options.letter = u'R';
    test_volume source(options);
    ASSERT_TRUE(source.ok());
    source.destroy();
    volume_options read_only = options;
    read_only.read_only = true;
    read_only.image = source.container();
    test_volume ro(read_only);
    ASSERT_TRUE(ro.ok());
    EXPECT_EQ(ask(ro.device(), IOCTL_DISK_IS_WRITABLE, 0).status, STATUS_MEDIA_WRITE_PROTECTED);
    EXPECT_EQ(ask(ro.device(), IOCTL_DISK_SET_PARTITION_INFO, 0, {7}).status,
              STATUS_MEDIA_WRITE_PROTECTED);
}

TEST_F(DiskQuery, TableOfContentsAndLastSessionShowOneDataTrack)
{
    answer toc = ask(device(), IOCTL_CDROM_READ_TOC, 900);
    ASSERT_EQ(toc.status, STATUS_SUCCESS);
    EXPECT_EQ(toc.information, 804u);
    std::vector<UCHAR> expect(804, 0);
    expect[2] = 1;
    expect[3] = 1;
    expect[5] = 4;
    EXPECT_EQ(std::vector<UCHAR>(toc.output.begin(), toc.output.begin() + 804), expect);

    answer session = ask(device(), IOCTL_CDROM_GET_LAST_SESSION, 12);
    ASSERT_EQ(session.status, STATUS_SUCCESS);
    EXPECT_EQ(session.information, 12u);
    expect.resize(12);
    EXPECT_EQ(session.output, expect);
}

TEST_F(DiskQuery, UnknownCodesAreLoggedAndRefused)
{
    for (ULONG code : std::initializer_list<ULONG>{IOCTL_DISK_GET_DRIVE_GEOMETRY_EX,
                                                   IOCTL_STORAGE_GET_HOTPLUG_INFO,
                                                   IOCTL_MOUNTDEV_QUERY_STABLE_GUID}) {
        answer a = ask(device(), code, 256);
        EXPECT_EQ(a.status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(a.information, 0u);
    }
    auto log = drain_log();
    EXPECT_TRUE(log_has(log, u"[redav] Unknown IoControlCode 0x700a0.(DeviceType=0x00000007, "
                             u"FunctionCode=0x00000028)"));
    EXPECT_TRUE(log_has(log, u"[redav] Unknown IoControlCode 0x2d0c14.(DeviceType=0x0000002d, "
                             u"FunctionCode=0x00000305)"));
    EXPECT_TRUE(log_has(log, u"[redav] Unknown IoControlCode 0x4d0018.(DeviceType=0x0000004d, "
                             u"FunctionCode=0x00000006)"));
}

TEST(DiskQueryCdrom, ImageGeometryCountsWholeCylindersOf2048ByteSectors)
{
    lockbin_test::temp_folder folder;
    std::string image = folder.path() + "/disc.iso";
    {
        std::ofstream out(image, std::ios::binary);
        std::vector<char> bytes(1000000, 'x');
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    volume_options options;
    options.cdrom = true;
    options.image = image;
    options.letter = u'V';
    test_volume volume(options);
    ASSERT_TRUE(volume.ok());
    answer a = ask(volume.device(), IOCTL_CDROM_GET_DRIVE_GEOMETRY, 24);
    ASSERT_EQ(a.status, STATUS_SUCCESS);
    auto g = as<DISK_GEOMETRY>(a);
    EXPECT_EQ(g.Cylinders.QuadPart, 7);
    EXPECT_EQ(g.BytesPerSector, 2048u);
    EXPECT_EQ(g.MediaType, FixedMedia);
    EXPECT_EQ(as<LONGLONG>(ask(volume.device(), IOCTL_DISK_GET_LENGTH_INFO, 8)), 1000000);
    EXPECT_EQ(ask(volume.device(), IOCTL_DISK_IS_WRITABLE, 0).status, STATUS_MEDIA_WRITE_PROTECTED);
}

} // namespace
