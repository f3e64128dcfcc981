// The mount sequences of the volume layer over the kernel layer: container layout, key check,
// sharing, CD-ROM images, hidden sectors, access state, occupied letters and short containers.
// Requests reach the volume through IoCallDriver as the disk bridge sends them.
#include "mountmgr_fake_test.h"
#include "virtualdisk.h"
#include "volume_test_helper.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>

using namespace lockbin_test;

namespace {

constexpr LONGLONG kDiskSize = 4 << 20;

std::vector<UCHAR> key_of(UCHAR seed)
{
    std::vector<UCHAR> key(128, 0);
    for (int i = 0; i < 20; ++i)
        key[i] = static_cast<UCHAR>(seed * 31 + i * 7);
    return key;
}

std::vector<UCHAR> file_bytes(const std::string& path, off_t offset, size_t length)
{
    std::vector<UCHAR> out(length, 0xEE);
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd >= 0) {
        ssize_t got = ::pread(fd, out.data(), length, offset);
        out.resize(got > 0 ? size_t(got) : 0);
        ::close(fd);
    }
    return out;
}

std::vector<UCHAR> whole_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<UCHAR>(std::istreambuf_iterator<char>(in), {});
}

bool all_zero(const std::vector<UCHAR>& bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](UCHAR b) { return b == 0; });
}

class VirtualDiskMount : public ::testing::Test {
protected:
    void SetUp() override
    {
        driver_ = test_driver::acquire();
        ASSERT_NE(driver_, nullptr);
        manager_ = std::make_unique<fake_mount_manager>(fake_mount_manager::mode::link_at_arrival);
        ASSERT_TRUE(manager_->ok());
        drain_log();
    }
    void TearDown() override
    {
        for (WCHAR l = u'D'; l <= u'Z'; ++l)
            if (volume(l))
                VirtualDisk_DisMount(l, TRUE);
        manager_.reset();
        test_driver::release();
    }

    std::string path(const char* name) const { return folder_.path() + "/" + name; }

    static bool mount_new(WCHAR letter, const std::string& host, LONGLONG size,
                          const std::vector<UCHAR>& key, bool no_sparse = false)
    {
        std::u16string nt = nt_path(host);
        std::vector<UCHAR> k = key;
        return VirtualDisk_MountNewDisk(letter, nt.data(), size, no_sparse, !key.empty(),
                                        k.empty() ? nullptr : k.data(), ULONG(k.size()));
    }
    static bool mount_exist(WCHAR letter, const std::string& host, const std::vector<UCHAR>& key,
                            bool read_only = false)
    {
        std::u16string nt = nt_path(host);
        std::vector<UCHAR> k = key;
        return VirtualDisk_MountExistDisk(letter, nt.data(), read_only, !key.empty(),
                                          k.empty() ? nullptr : k.data(), ULONG(k.size()));
    }
    static PDEVICE_EXTENSION volume(WCHAR letter) { return g_VirtualDiskList[letter - u'A']; }

    // One read or write of the volume as the file system sends it.
    static NTSTATUS transfer(WCHAR letter, bool write, LONGLONG offset, std::vector<UCHAR>& data)
    {
        PDEVICE_EXTENSION ext = volume(letter);
        if (!ext)
            return STATUS_NO_SUCH_DEVICE;
        ntos::request r;
        r.major = write ? IRP_MJ_WRITE : IRP_MJ_READ;
        r.offset = offset;
        if (write) {
            r.input = data.data();
            r.input_length = ULONG(data.size());
        } else {
            r.output = data.data();
            r.output_length = ULONG(data.size());
        }
        ULONG_PTR info = 0;
        return ntos::send_request(ext->DeviceObject, nullptr, r, &info);
    }

    // Writes a boot sector carrying the file-system tag at `at` into the disk's first sector.
    void format_first_sector(WCHAR letter, size_t at, const char* tag)
    {
        std::vector<UCHAR> sector(512, 0);
        sector[0] = 0xEB;
        std::memcpy(sector.data() + at, tag, 4);
        sector[510] = 0x55;
        sector[511] = 0xAA;
        ASSERT_EQ(transfer(letter, true, 0, sector), STATUS_SUCCESS);
    }

    PDRIVER_OBJECT driver_ = nullptr;
    temp_folder folder_;
    std::unique_ptr<fake_mount_manager> manager_;
    fake_volume_controls controls_;
};

TEST_F(VirtualDiskMount, NewContainerIsSparseWithZeroHiddenSectorsAndReportsItsDiskSize)
{
    const std::string file = path("new.lkb");
    ASSERT_TRUE(mount_new(u'T', file, kDiskSize, key_of(1)));

    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kDiskSize + 1024);
    EXPECT_LT(st.st_blocks * 512, kDiskSize / 2) << "the container should be sparse";
    EXPECT_TRUE(all_zero(file_bytes(file, 0, 512)));
    EXPECT_TRUE(all_zero(file_bytes(file, kDiskSize + 512, 512)));
    // The first disk sector holds zeros through the transform: ciphertext on disk, zeros read.
    EXPECT_FALSE(all_zero(file_bytes(file, 512, 512)));
    std::vector<UCHAR> first(512, 0xCC);
    ASSERT_EQ(transfer(u'T', false, 0, first), STATUS_SUCCESS);
    EXPECT_TRUE(all_zero(first));

    REDAV_VOLUME_INFO info;
    ASSERT_TRUE(VirtualDisk_QueryVolume(u't', &info));
    EXPECT_EQ(info.VolumeLetter, u'T');
    EXPECT_EQ(info.FileSize, kDiskSize);
    EXPECT_EQ(std::u16string(info.DeviceName), u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskT");
    EXPECT_EQ(std::u16string(info.FilePath), nt_path(file));
    EXPECT_EQ(info.IsEncrypt, 1);
    EXPECT_EQ(info.IsCDROM, 0);
    EXPECT_EQ(info.IsReadOnly, 0);
    EXPECT_EQ(info.VolumeRWStatus, 0u);

    PDEVICE_OBJECT device = volume(u'T')->DeviceObject;
    EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_DISK));
    EXPECT_TRUE(device->Flags & DO_DIRECT_IO);
    EXPECT_FALSE(device->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(ntos::device_sddl(device), u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;BU)");
    EXPECT_TRUE(manager_->saw(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION));
}

TEST_F(VirtualDiskMount, NewContainerOverAnExistingFileTruncatesItAndNoSparseAllocates)
{
    const std::string file = path("old.lkb");
    {
        std::ofstream out(file, std::ios::binary);
        std::vector<char> junk(3 << 20, 'x');
        out.write(junk.data(), std::streamsize(junk.size()));
    }
    ASSERT_TRUE(mount_new(u'T', file, 1 << 20, key_of(1), /*no_sparse=*/true));
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, (1 << 20) + 1024);
    EXPECT_TRUE(all_zero(file_bytes(file, 0, 512)));
    std::vector<UCHAR> middle = file_bytes(file, 4096, 4096);
    EXPECT_EQ(std::count(middle.begin(), middle.end(), 'x'), 0) << "old bytes survived";
}

TEST_F(VirtualDiskMount, ExistingContainerAcceptsBootSectorsAndZerosWithTheRightKeyOnly)
{
    const std::string file = path("fs.lkb");
    ASSERT_TRUE(mount_new(u'T', file, kDiskSize, key_of(1)));
    ASSERT_TRUE(VirtualDisk_DisMount(u'T', FALSE));
    // Still all zero (unformatted): accepted.
    ASSERT_TRUE(mount_exist(u'T', file, key_of(1)));

    const struct {
        size_t at;
        const char* tag;
    } kinds[] = {{3, "NTFS"}, {82, "FAT3"}, {54, "FAT1"}};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.tag);
        format_first_sector(u'T', kind.at, kind.tag);
        ASSERT_TRUE(VirtualDisk_DisMount(u'T', FALSE));
        const std::vector<UCHAR> before = whole_file(file);
        drain_log();
        EXPECT_FALSE(mount_exist(u'T', file, key_of(2)));
        EXPECT_TRUE(log_has(drain_log(), u"[redav] VirtualDiskFile isn't validate!"));
        EXPECT_EQ(volume(u'T'), nullptr);
        EXPECT_EQ(whole_file(file), before) << "a refused mount changed the container";
        ASSERT_TRUE(mount_exist(u'T', file, key_of(1)));
    }

    // A sector that is neither a boot sector nor zeros is refused even with the right key.
    std::vector<UCHAR> noise(512, 0x5A);
    ASSERT_EQ(transfer(u'T', true, 0, noise), STATUS_SUCCESS);
    ASSERT_TRUE(VirtualDisk_DisMount(u'T', FALSE));
    EXPECT_FALSE(mount_exist(u'T', file, key_of(1)));
}

TEST_F(VirtualDiskMount, ReadOnlyMountSharesReadingAndReadWriteMountSharesNothing)
{
    const std::string file = path("share.lkb");
    ASSERT_TRUE(mount_new(u'T', file, kDiskSize, key_of(1)));
    ASSERT_TRUE(VirtualDisk_DisMount(u'T', FALSE));

    ASSERT_TRUE(mount_exist(u'T', file, key_of(1), /*read_only=*/true));
    EXPECT_EQ(volume(u'T')->DeviceObject->Characteristics & FILE_READ_ONLY_DEVICE,
              ULONG(FILE_READ_ONLY_DEVICE));
    // A second read-only mount of the same container at another letter is a second reader.
    EXPECT_TRUE(mount_exist(u'U', file, key_of(1), /*read_only=*/true));
    std::vector<UCHAR> sector(512, 1);
    EXPECT_NE(transfer(u'T', true, 0, sector), STATUS_SUCCESS) << "read-only file was written";
    EXPECT_EQ(transfer(u'T', false, 0, sector), STATUS_SUCCESS);
    // A writer cannot join readers, and readers cannot join a writer.
    EXPECT_FALSE(mount_exist(u'V', file, key_of(1)));
    ASSERT_TRUE(VirtualDisk_DisMount(u'T', FALSE));
    ASSERT_TRUE(VirtualDisk_DisMount(u'U', FALSE));
    ASSERT_TRUE(mount_exist(u'T', file, key_of(1)));
    EXPECT_FALSE(mount_exist(u'U', file, key_of(1), /*read_only=*/true));
    EXPECT_NE(volume(u'T'), nullptr);
}

TEST_F(VirtualDiskMount, CdromImageIsTheWholeFileReadOnlyAndPlain)
{
    const std::string image = path("disc.iso");
    std::vector<UCHAR> content(64 * 2048);
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<UCHAR>(i * 13);
    {
        std::ofstream out(image, std::ios::binary);
        out.write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    }
    std::u16string nt = nt_path(image);
    ASSERT_TRUE(VirtualDisk_MountCDROM(u'R', nt.data()));
    REDAV_VOLUME_INFO info;
    ASSERT_TRUE(VirtualDisk_QueryVolume(u'R', &info));
    EXPECT_EQ(info.FileSize, LONGLONG(content.size()));
    EXPECT_EQ(info.IsCDROM, 1);
    EXPECT_EQ(info.IsReadOnly, 1);
    EXPECT_EQ(info.IsEncrypt, 0);
    EXPECT_EQ(std::u16string(info.DeviceName), u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskCdR");
    EXPECT_EQ(volume(u'R')->DeviceObject->DeviceType, ULONG(FILE_DEVICE_CD_ROM));
    std::vector<UCHAR> first(2048);
    ASSERT_EQ(transfer(u'R', false, 0, first), STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), content.begin()));

    // A disk at the letter of the image: the slot is taken, the image stays mounted.
    EXPECT_FALSE(mount_new(u'R', path("other.lkb"), kDiskSize, key_of(1)));
    ASSERT_NE(volume(u'R'), nullptr);
    EXPECT_TRUE(volume(u'R')->IsCDROM);
    EXPECT_EQ(transfer(u'R', false, 0, first), STATUS_SUCCESS);
}

TEST_F(VirtualDiskMount, HiddenSectorsAreWrittenPlainAndReadBackAfterARemount)
{
    const std::string file = path("hidden.lkb");
    ASSERT_TRUE(mount_new(u'T', file, kDiskSize, key_of(1)));
    REDAV_HIDE_SECTOR_DATA data;
    RtlZeroMemory(&data, sizeof(data));
    data.VolumeLetter = u'T';
    for (int i = 0; i < 512; ++i) {
        data.HeaderSector[i] = static_cast<UCHAR>(i);
        data.TailSector[i] = static_cast<UCHAR>(255 - i);
    }
    ASSERT_TRUE(VirtualDisk_HideSectorSetting(u't', &data));
    REDAV_HIDE_SECTOR_DATA back;
    ASSERT_TRUE(VirtualDisk_QueryHideSector(u'T', &back));
    EXPECT_EQ(std::memcmp(&back, &data, sizeof(data)), 0);
    EXPECT_EQ(file_bytes(file, 0, 512),
              std::vector<UCHAR>(data.HeaderSector, data.HeaderSector + 512));
    EXPECT_EQ(file_bytes(file, kDiskSize + 512, 512),
              std::vector<UCHAR>(data.TailSector, data.TailSector + 512));

    ASSERT_TRUE(VirtualDisk_DisMount(u'T', FALSE));
    EXPECT_FALSE(VirtualDisk_QueryHideSector(u'T', &back));
    EXPECT_FALSE(VirtualDisk_HideSectorSetting(u'T', &data));
    ASSERT_TRUE(mount_exist(u'T', file, key_of(1)));
    RtlZeroMemory(&back, sizeof(back));
    ASSERT_TRUE(VirtualDisk_QueryHideSector(u'T', &back));
    EXPECT_EQ(std::memcmp(&back, &data, sizeof(data)), 0);
}

TEST_F(VirtualDiskMount, AccessStateDenyRefusesEveryTransferUntilSetBackAndResetsAtMount)
{
    const std::string file = path("state.lkb");
    ASSERT_TRUE(mount_new(u'T', file, kDiskSize, key_of(1)));
    std::vector<UCHAR> sector(512, 7);
    ASSERT_TRUE(VirtualDisk_SetVolumeRWStatus(u'T', 2));
    EXPECT_EQ(transfer(u'T', false, 0, sector), STATUS_ACCESS_DENIED);
    EXPECT_EQ(transfer(u'T', true, 0, sector), STATUS_ACCESS_DENIED);
    drain_log();
    EXPECT_FALSE(VirtualDisk_SetVolumeRWStatus(u'T', 3));
    EXPECT_TRUE(log_has(drain_log(), u"[redav] Volume VolumeRWStatus Invalidate.(VolumeLetter=T, "
                                     u"VolumeRWStatus=3)"));
    ASSERT_TRUE(VirtualDisk_SetVolumeRWStatus(u'T', 0));
    EXPECT_EQ(transfer(u'T', false, 0, sector), STATUS_SUCCESS);

    ASSERT_TRUE(VirtualDisk_SetVolumeRWStatus(u'T', 2));
    ASSERT_TRUE(VirtualDisk_DisMount(u'T', FALSE));
    ASSERT_TRUE(mount_exist(u'T', file, key_of(1)));
    REDAV_VOLUME_INFO info;
    ASSERT_TRUE(VirtualDisk_QueryVolume(u'T', &info));
    EXPECT_EQ(info.VolumeRWStatus, 0u);
    EXPECT_FALSE(VirtualDisk_SetVolumeRWStatus(u'Q', 0)) << "no volume at Q";
    EXPECT_FALSE(VirtualDisk_QueryVolume(u'C', &info));
}

TEST_F(VirtualDiskMount, BadContainersAndKeysAreRefusedWithoutLeavingAVolume)
{
    drain_log();
    const uint64_t blocks_before = ntos::pool_usage(REDAV_VOLUME_POOL_TAG).blocks;
    // Shorter than the two hidden sectors.
    const std::string tiny = path("tiny.lkb");
    {
        std::ofstream out(tiny, std::ios::binary);
        std::vector<char> bytes(512, 0);
        out.write(bytes.data(), 512);
    }
    drain_log();
    EXPECT_FALSE(mount_exist(u'T', tiny, key_of(1)));
    std::vector<std::u16string> log = drain_log();
    EXPECT_TRUE(log_has(log, u"[redav] _CreateOrOpenVirtualDiskFile failed!"));
    EXPECT_EQ(volume(u'T'), nullptr);

    // Lengths the layout cannot have: no disk sector at all, or a disk cut inside a sector.
    // Each says why, and neither leaves a volume.
    const struct {
        off_t length;
        const char16_t* record;
    } odd[] = {{1024, u"[redav] VirtualDiskFile holds no disk sector!(FileSize=1024)"},
               {1024 + 4096 + 300,
                u"[redav] VirtualDiskFile size isn't 1024 plus whole sectors!(FileSize=5420)"}};
    for (const auto& c : odd) {
        const std::string odd_file = path("odd.lkb");
        ASSERT_TRUE(mount_new(u'T', odd_file, kDiskSize, key_of(1)));
        ASSERT_TRUE(VirtualDisk_DisMount(u'T', FALSE));
        ASSERT_EQ(::truncate(odd_file.c_str(), c.length), 0);
        drain_log();
        EXPECT_FALSE(mount_exist(u'T', odd_file, key_of(1))) << c.length;
        EXPECT_TRUE(log_has(drain_log(), c.record)) << c.length;
        EXPECT_EQ(volume(u'T'), nullptr);
    }
    const std::string empty_image = path("empty.iso");
    std::ofstream(empty_image, std::ios::binary).close();
    std::u16string empty_nt = nt_path(empty_image);
    EXPECT_FALSE(VirtualDisk_MountCDROM(u'T', empty_nt.data()));
    EXPECT_EQ(volume(u'T'), nullptr);

    // A missing file, and an encrypted mount without a key.
    EXPECT_FALSE(mount_exist(u'T', path("missing.lkb"), key_of(1)));
    std::u16string nt = nt_path(path("nokey.lkb"));
    EXPECT_FALSE(VirtualDisk_MountNewDisk(u'T', nt.data(), kDiskSize, FALSE, TRUE, nullptr, 0));
    EXPECT_EQ(volume(u'T'), nullptr);

    // After all that the letter mounts at once, and a failed mount left no device behind.
    EXPECT_TRUE(mount_new(u'T', path("fine.lkb"), kDiskSize, key_of(1)));
    ASSERT_TRUE(VirtualDisk_DisMount(u'T', FALSE));
    drain_log();
    EXPECT_EQ(ntos::pool_usage(REDAV_VOLUME_POOL_TAG).blocks, blocks_before)
        << "volume blocks leaked";
}

// A letter that carries a disk refuses a second disk at device creation (the name is taken) and
// an image before it (the names differ); records of the steps the sequences share name the
// sequence, as the reader of the log needs to know which mount failed.
TEST_F(VirtualDiskMount, OccupiedLettersAndFailedStepsAreLoggedByTheirSequence)
{
    ASSERT_TRUE(mount_new(u'T', path("first.lkb"), kDiskSize, key_of(1)));
    drain_log();
    EXPECT_FALSE(mount_new(u'T', path("second.lkb"), kDiskSize, key_of(1)));
    auto records = drain_log_records();
    auto has = [&](const std::u16string& source, const std::u16string& message) {
        for (const auto& r : records)
            if (r.source == source && r.message == message)
                return true;
        return false;
    };
    EXPECT_TRUE(has(u"virtualdisk_file.cpp|_CreateVir",
                    u"[redav] IoCreateDeviceSecure failed!(status=0xc0000035)"));
    EXPECT_TRUE(
        has(u"virtualdisk_mount.cpp|_MountNew", u"[redav] _CreateVirtualDiskDevice failed!"));
    EXPECT_EQ(records.size(), 2u);

    EXPECT_NE(::access(path("second.lkb").c_str(), F_OK), 0) << "a refused mount made a file";

    std::u16string image = nt_path(path("first.lkb"));
    EXPECT_FALSE(VirtualDisk_MountCDROM(u'T', image.data()));
    records = drain_log_records();
    EXPECT_TRUE(has(u"virtualdisk_mount.cpp|_MountCDR",
                    u"[redav] VolumeLetter is in use!(VolumeLetter=T)"));

    EXPECT_FALSE(mount_exist(u'U', path("missing.lkb"), key_of(1)));
    records = drain_log_records();
    EXPECT_TRUE(
        has(u"virtualdisk_mount.cpp|_MountExi", u"[redav] _CreateOrOpenVirtualDiskFile failed!"));

    // The disk at T is as it was.
    std::vector<UCHAR> sector(512);
    EXPECT_EQ(transfer(u'T', false, 0, sector), STATUS_SUCCESS);
    EXPECT_FALSE(volume(u'T')->IsCDROM);
}

// A user may only create containers where that user may write: the container is opened with
// the identity of the thread that asked, not the service's.
TEST_F(VirtualDiskMount, ContainerIsOpenedWithTheRequestersRights)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    const std::string locked = path("root-only");
    ASSERT_EQ(::mkdir(locked.c_str(), 0755), 0);
    const std::string victim = locked + "/victim.lkb";
    {
        std::ofstream out(victim, std::ios::binary);
        out << "precious";
    }
    PEPROCESS client = ntos::create_client_process("lockbin", 1, 65534, 65534, ::getpid());
    ASSERT_NE(client, nullptr);
    {
        ntos::process_attachment as_client(client);
        EXPECT_FALSE(mount_new(u'T', victim, kDiskSize, key_of(1)));
        EXPECT_FALSE(mount_new(u'U', locked + "/new.lkb", kDiskSize, key_of(1)));
    }
    ntos::close_client_process(client);
    ObDereferenceObject(client);
    struct stat st {};
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 8) << "another user's file was truncated";
    EXPECT_NE(::access((locked + "/new.lkb").c_str(), F_OK), 0);
    EXPECT_EQ(volume(u'T'), nullptr);
}

} // namespace
