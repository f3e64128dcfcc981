// Volumes as block files on the host: the FUSE disk bridge over a real volume of the driver,
// driven with ordinary host tools. Needs root and /dev/fuse.
#include "../driver/volume_test_helper.h"
#include "../../platform/ntos/src/bridge_disk.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using lockbin_test::temp_folder;
using lockbin_test::test_volume;
using lockbin_test::volume_options;
namespace nd = ntos::detail;

bool can_mount(std::string* why)
{
    if (geteuid() != 0) {
        *why = "needs root to mount the disk bridge";
        return false;
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        *why = "needs /dev/fuse";
        return false;
    }
    return true;
}

int run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

bool have_tool(const char* name)
{
    return run(std::string("command -v ") + name) == 0;
}

std::vector<UCHAR> file_bytes(const std::string& path, off_t offset, size_t length)
{
    std::vector<UCHAR> out(length);
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return {};
    ssize_t n = pread(fd, out.data(), length, offset);
    close(fd);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

struct hook_record {
    std::atomic<int> calls{0};
    std::atomic<PDEVICE_OBJECT> device{nullptr};
};

void record_first_sector(void* context, PDEVICE_OBJECT device)
{
    auto* record = static_cast<hook_record*>(context);
    record->device = device;
    record->calls++;
}

class DiskBlockFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!can_mount(&why))
            GTEST_SKIP() << why;
        volume_options options;
        options.letter = u'K';
        options.disk_size = 64LL << 20;
        volume_ = std::make_unique<test_volume>(options);
        ASSERT_TRUE(volume_->ok());
        ASSERT_EQ(nd::bridge_disk_start(mount_.path() + "/disks"), STATUS_SUCCESS);
        nd::bridge_disk_device_created_for(volume_->device(), 1234, 5678);
        nd::bridge_disk_set_first_sector_hook(record_first_sector, &hook_);
        path_ = nd::bridge_disk_file_path(volume_->device());
        ASSERT_EQ(path_, mount_.path() + "/disks/ZELVirtualDiskK");
    }
    void TearDown() override
    {
        nd::bridge_disk_set_first_sector_hook(nullptr, nullptr);
        if (volume_ && volume_->device())
            nd::bridge_disk_device_deleted(volume_->device());
        nd::bridge_disk_stop();
        volume_.reset();
    }

    temp_folder mount_;
    std::unique_ptr<test_volume> volume_;
    std::string path_;
    hook_record hook_;
};

TEST_F(DiskBlockFile, IsAnOwnerOnlyFileOfTheVolumesSize)
{
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 5678u);
    EXPECT_EQ(st.st_size, 64LL << 20);
    EXPECT_NE(run("ls '" + mount_.path() + "/disks' | grep -qx ZELVirtualDiskK"), 1);
    // Size, owner and mode belong to the volume.
    EXPECT_NE(truncate(path_.c_str(), 4096), 0);
    EXPECT_NE(chmod(path_.c_str(), 0666), 0);
}

TEST_F(DiskBlockFile, DdInAndOutRoundTripsWhileTheContainerHoldsCiphertext)
{
    std::string plain = mount_.path() + "/plain";
    std::string back = mount_.path() + "/back";
    ASSERT_EQ(run("dd if=/dev/urandom of='" + plain + "' bs=1M count=4"), 0);
    ASSERT_EQ(run("dd if='" + plain + "' of='" + path_ + "' bs=1M seek=3 conv=notrunc,fsync"), 0);
    ASSERT_EQ(run("dd if='" + path_ + "' of='" + back + "' bs=1M skip=3 count=4 iflag=direct"), 0);
    EXPECT_EQ(run("cmp '" + plain + "' '" + back + "'"), 0);
    // Buffered reads through the page cache agree too.
    ASSERT_EQ(run("dd if='" + path_ + "' of='" + back + "' bs=64k skip=48 count=64"), 0);
    EXPECT_EQ(run("cmp '" + plain + "' '" + back + "'"), 0);

    auto stored = file_bytes(volume_->container(), 512 + (3 << 20), 1 << 20);
    auto sent = file_bytes(plain, 0, 1 << 20);
    ASSERT_EQ(stored.size(), sent.size());
    EXPECT_NE(stored, sent);
}

TEST_F(DiskBlockFile, SequentialDirectReadsSeeAWriteThatFollowsThem)
{
    // Reading sequentially makes the bridge read ahead; a write to the stretch read ahead must
    // win over it.
    int fd = open(path_.c_str(), O_RDWR | O_DIRECT);
    ASSERT_GE(fd, 0);
    const size_t chunk = 1 << 20;
    void* raw = nullptr;
    ASSERT_EQ(posix_memalign(&raw, 4096, chunk), 0);
    auto* buffer = static_cast<UCHAR*>(raw);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(pread(fd, buffer, chunk, static_cast<off_t>(i * chunk)),
                  static_cast<ssize_t>(chunk));
    std::memset(buffer, 0xA7, chunk);
    ASSERT_EQ(pwrite(fd, buffer, chunk, 3 * chunk), static_cast<ssize_t>(chunk));
    std::memset(buffer, 0, chunk);
    ASSERT_EQ(pread(fd, buffer, chunk, 3 * chunk), static_cast<ssize_t>(chunk));
    EXPECT_EQ(std::vector<UCHAR>(buffer, buffer + chunk), std::vector<UCHAR>(chunk, 0xA7));
    free(raw);
    close(fd);
}

TEST_F(DiskBlockFile, ConcurrentUnalignedWritersLoseNothing)
{
    // Writers own interleaved 1000-byte stripes that start anywhere inside sectors, so sectors
    // are shared and every write is partial at both ends.
    constexpr int kWriters = 6;
    constexpr size_t kStripe = 1000;
    constexpr size_t kSpan = 2 << 20;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            int fd = open(path_.c_str(), O_RDWR);
            if (fd < 0) {
                failures++;
                return;
            }
            std::vector<UCHAR> data(kStripe, static_cast<UCHAR>(0x10 + w));
            for (size_t at = 7 + w * kStripe; at + kStripe <= kSpan; at += kWriters * kStripe)
                if (pwrite(fd, data.data(), kStripe, static_cast<off_t>(at)) !=
                    static_cast<ssize_t>(kStripe))
                    failures++;
            close(fd);
        });
    }
    for (auto& t : threads)
        t.join();
    ASSERT_EQ(failures, 0);

    // Read back beneath the page cache, through the driver.
    std::vector<UCHAR> back(kSpan);
    ULONG_PTR information = 0;
    ntos::request what;
    what.major = IRP_MJ_READ;
    what.output = back.data();
    what.output_length = kSpan;
    ASSERT_EQ(ntos::send_request(volume_->device(), nullptr, what, &information), STATUS_SUCCESS);
    for (size_t at = 7; at + kStripe <= kSpan; at += kStripe) {
        UCHAR owner = static_cast<UCHAR>(0x10 + ((at - 7) / kStripe) % kWriters);
        for (size_t i = 0; i < kStripe; ++i)
            ASSERT_EQ(back[at + i], owner) << "byte " << at + i;
    }
    EXPECT_EQ(back[6], 0);
}

TEST_F(DiskBlockFile, DriverRefusalsBecomeErrnos)
{
    int fd = open(path_.c_str(), O_RDWR | O_DIRECT);
    ASSERT_GE(fd, 0);
    void* buffer = nullptr;
    ASSERT_EQ(posix_memalign(&buffer, 4096, 4096), 0);
    std::memset(buffer, 0x42, 4096);
    volume_->ext()->VolumeRWStatus = 1;
    EXPECT_EQ(pread(fd, buffer, 4096, 0), 4096);
    errno = 0;
    EXPECT_EQ(pwrite(fd, buffer, 4096, 0), -1);
    EXPECT_EQ(errno, EACCES);
    volume_->ext()->VolumeRWStatus = 2;
    errno = 0;
    EXPECT_EQ(pread(fd, buffer, 4096, 8192), -1);
    EXPECT_EQ(errno, EACCES);
    volume_->ext()->VolumeRWStatus = 0;
    EXPECT_EQ(pwrite(fd, buffer, 4096, 0), 4096);
    // The driver has nothing to flush and refuses; its writes are already in the container.
    EXPECT_EQ(fsync(fd), 0);
    close(fd);
    free(buffer);
}

TEST_F(DiskBlockFile, WritesThatDoNotFitAreRefusedAtTheCallAndTheSizeStays)
{
    // Through the page cache, as host tools write: a disk refuses at once what lies past its
    // end, so nothing is acknowledged that the volume cannot hold.
    const off_t size = 64LL << 20;
    int fd = open(path_.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    std::vector<UCHAR> data(4096, 0x5A);
    errno = 0;
    EXPECT_EQ(pwrite(fd, data.data(), data.size(), size + 8192), -1);
    EXPECT_EQ(errno, ENOSPC);
    errno = 0;
    EXPECT_EQ(pwrite(fd, data.data(), data.size(), size), -1);
    EXPECT_EQ(errno, ENOSPC);
    // Straddling the end: the part that fits, and a short count.
    EXPECT_EQ(pwrite(fd, data.data(), data.size(), size - 1024), 1024);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_size, size);
    EXPECT_EQ(fsync(fd), 0);
    close(fd);
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, size);

    std::vector<UCHAR> tail(1024);
    ULONG_PTR information = 0;
    ntos::request what;
    what.major = IRP_MJ_READ;
    what.offset = size - 1024;
    what.output = tail.data();
    what.output_length = ULONG(tail.size());
    ASSERT_EQ(ntos::send_request(volume_->device(), nullptr, what, &information), STATUS_SUCCESS);
    EXPECT_EQ(tail, std::vector<UCHAR>(1024, 0x5A));
}

TEST_F(DiskBlockFile, ReleasingAHandleThatWroteTheFirstSectorCallsTheHook)
{
    int fd = open(path_.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    char byte = 1;
    ASSERT_EQ(pwrite(fd, &byte, 1, 4096), 1);
    close(fd);
    fd = open(path_.c_str(), O_RDONLY);
    ASSERT_EQ(pread(fd, &byte, 1, 0), 1);
    close(fd);
    EXPECT_EQ(hook_.calls, 0);
    fd = open(path_.c_str(), O_RDWR);
    ASSERT_EQ(pwrite(fd, &byte, 1, 300), 1);
    close(fd);
    // The release reaches the bridge after close returns.
    for (int i = 0; i < 200 && hook_.calls == 0; ++i)
        usleep(10000);
    EXPECT_EQ(hook_.calls, 1);
    EXPECT_EQ(hook_.device, volume_->device());
}

TEST_F(DiskBlockFile, AVolumeThatGoesFailsItsOpenHandles)
{
    int fd = open(path_.c_str(), O_RDONLY | O_DIRECT);
    ASSERT_GE(fd, 0);
    volume_->destroy(); // DestroyVirtualDisk: the device is deleted
    void* buffer = nullptr;
    ASSERT_EQ(posix_memalign(&buffer, 4096, 4096), 0);
    errno = 0;
    EXPECT_EQ(pread(fd, buffer, 4096, 0), -1);
    EXPECT_EQ(errno, ENXIO);
    close(fd);
    free(buffer);
    struct stat st;
    EXPECT_NE(stat(path_.c_str(), &st), 0);
}

// A stop with a host handle still open must take the mount away, not leave a dead one behind.
TEST_F(DiskBlockFile, StoppingRemovesTheMountEvenWithAnOpenHandle)
{
    int fd = open(path_.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    nd::bridge_disk_stop();
    std::ifstream mounts("/proc/mounts");
    std::string line;
    const std::string folder = " " + mount_.path() + "/disks ";
    while (std::getline(mounts, line))
        EXPECT_EQ(line.find(folder), std::string::npos) << line;
    char byte;
    EXPECT_EQ(pread(fd, &byte, 1, 0), -1);
    close(fd);
}

TEST_F(DiskBlockFile, MkntfsFormatsTheBlockFileAndNtfsToolsReadItBack)
{
    if (!have_tool("mkntfs") || !have_tool("ntfsinfo") || !have_tool("ntfsls"))
        GTEST_SKIP() << "needs mkntfs, ntfsinfo and ntfsls (package ntfs-3g)";
    ASSERT_EQ(run("mkntfs -F -f -q -L Lockbin '" + path_ + "'"), 0);
    EXPECT_EQ(run("ntfsinfo -m '" + path_ + "' | grep -q 'Volume Name: Lockbin'"), 0);
    EXPECT_EQ(run("ntfsls '" + path_ + "'"), 0);
    auto boot = file_bytes(path_, 0, 512);
    ASSERT_EQ(boot.size(), 512u);
    EXPECT_EQ(std::string(boot.begin() + 3, boot.begin() + 7), "NTFS");
    for (int i = 0; i < 200 && hook_.calls == 0; ++i)
        usleep(10000);
    EXPECT_GE(hook_.calls, 1);
}

} // namespace
