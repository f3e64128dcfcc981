// Vaults under host faults: the disk that holds the container fills up while a file is copied
// in, and a container cut short on the host. Nothing may be acknowledged and then lost, and a
// damaged container must not be written to as if it were whole.
#include "vault_service_test.h"

#include <gtest/gtest.h>

#include <sys/statvfs.h>

using namespace vault_test;

namespace {

const ::testing::Environment* const faults_environment =
    ::testing::AddGlobalTestEnvironment(new vault_environment);

// A small ext4 file system on a loop device, as a nearly full host disk.
class small_host_disk {
public:
    small_host_disk(const std::string& base, int mib) : image_(base + ".img"), point_(base)
    {
        ok_ = run("truncate -s " + std::to_string(mib) + "M '" + image_ + "'") == 0 &&
              run("mkfs.ext4 -q -F -m 0 '" + image_ + "'") == 0 &&
              ::mkdir(point_.c_str(), 0755) == 0 &&
              run("mount -o loop '" + image_ + "' '" + point_ + "'") == 0;
    }
    ~small_host_disk()
    {
        ::umount2(point_.c_str(), MNT_DETACH);
        ::rmdir(point_.c_str());
        ::unlink(image_.c_str());
    }
    bool ok() const { return ok_; }
    const std::string& path() const { return point_; }
    long long available() const
    {
        struct statvfs v {};
        return ::statvfs(point_.c_str(), &v) == 0 ? (long long)(v.f_bavail) * v.f_frsize : -1;
    }

private:
    std::string image_, point_;
    bool ok_ = false;
};

class VaultFaults : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!vault_service::get().usable(&why))
            GTEST_SKIP() << why;
        if (run("command -v mkfs.ext4") != 0)
            GTEST_SKIP() << "needs mkfs.ext4 (e2fsprogs) for a small host disk";
    }
    void TearDown() override
    {
        for (char16_t l : {u'Y', u'Z'})
            control(IOCTL_REDAV_DISMOUNT, letter_request(l, 1), 0);
    }

    static NTSTATUS mount_exist(char16_t letter, const std::string& file)
    {
        return control(IOCTL_REDAV_MOUNT_EXIST_DISK,
                       mount_request(letter, dos_path(file), 0, false, vault_key(3)), 0)
            .status;
    }
    // A new vault of `bytes`, formatted and mounted at its drive.
    static bool formatted(char16_t letter, const std::string& file, long long bytes)
    {
        vault_service& s = vault_service::get();
        return control(IOCTL_REDAV_MOUNT_NEW_DISK,
                       mount_request(letter, dos_path(file), bytes, false, vault_key(3)), 0)
                       .status == STATUS_SUCCESS &&
               run("mkntfs -Q -F -q '" + s.disk_file(letter) + "'") == 0 &&
               eventually([&] { return is_mount_point(s.mount_point(letter)); });
    }
};

TEST_F(VaultFaults, CopyOntoAFullHostDiskFailsOrReadsBackIntact)
{
    vault_service& s = vault_service::get();
    small_host_disk host(s.work() + "/small", 200);
    ASSERT_TRUE(host.ok());
    const std::string container = host.path() + "/full.lkb";
    ASSERT_TRUE(formatted(u'Z', container, 512LL << 20));
    const std::string drive = s.mount_point(u'Z');
    const std::string earlier = s.work() + "/earlier.bin";
    const std::string source = s.work() + "/source.bin";
    ASSERT_EQ(run("dd if=/dev/urandom of='" + earlier + "' bs=1M count=4"), 0);
    ASSERT_EQ(run("dd if=/dev/urandom of='" + source + "' bs=1M count=60"), 0);
    ASSERT_EQ(run("cp '" + earlier + "' '" + drive + "/earlier.bin' && sync -f '" + drive +
                  "/earlier.bin'"),
              0);

    // The host keeps 6 MiB while the vault still shows hundreds free.
    ASSERT_EQ(run("fallocate -l " + std::to_string(host.available() - (6LL << 20)) + " '" +
                  host.path() + "/filler'"),
              0);
    const bool copied = run("cp '" + source + "' '" + drive + "/copy.bin'") == 0;
    // What was there before stays readable while the host is full.
    run("sync; echo 3 > /proc/sys/vm/drop_caches");
    EXPECT_EQ(run("cmp '" + earlier + "' '" + drive + "/earlier.bin'"), 0);

    // Whatever the copy was told, the container must agree once the caches are gone.
    ASSERT_EQ(control(IOCTL_REDAV_DISMOUNT, letter_request(u'Z', 1), 0).status, STATUS_SUCCESS);
    run("sync; echo 3 > /proc/sys/vm/drop_caches");
    ASSERT_EQ(mount_exist(u'Z', container), STATUS_SUCCESS);
    ASSERT_TRUE(eventually([&] { return is_mount_point(drive); }));
    if (copied) {
        EXPECT_EQ(run("cmp '" + source + "' '" + drive + "/copy.bin'"), 0)
            << "the copy succeeded, yet its data did not reach the container";
    }
    EXPECT_EQ(run("cmp '" + earlier + "' '" + drive + "/earlier.bin'"), 0);
    EXPECT_EQ(control(IOCTL_REDAV_DISMOUNT, letter_request(u'Z', 1), 0).status, STATUS_SUCCESS);
    ::unlink(source.c_str());
    ::unlink(earlier.c_str());
}

TEST_F(VaultFaults, ContainerCutShortMountsReadOnly)
{
    vault_service& s = vault_service::get();
    const std::string container = s.work() + "/cut.lkb";
    ASSERT_TRUE(formatted(u'Y', container, 64LL << 20));
    const std::string drive = s.mount_point(u'Y');
    ASSERT_EQ(control(IOCTL_REDAV_DISMOUNT, letter_request(u'Y', 1), 0).status, STATUS_SUCCESS);
    ASSERT_EQ(::truncate(container.c_str(), 1024 + (32LL << 20)), 0);

    ASSERT_EQ(mount_exist(u'Y', container), STATUS_SUCCESS);
    ASSERT_TRUE(eventually([&] { return is_mount_point(drive); }));
    errno = 0;
    int fd = ::open((drive + "/new.txt").c_str(), O_CREAT | O_WRONLY, 0600);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(errno, EROFS);
    if (fd >= 0)
        ::close(fd);
    EXPECT_EQ(control(IOCTL_REDAV_DISMOUNT, letter_request(u'Y', 1), 0).status, STATUS_SUCCESS);
    ::unlink(container.c_str());
}

} // namespace
