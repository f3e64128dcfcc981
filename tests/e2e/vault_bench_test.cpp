// The vault half of bench/vault_fs_bench.sh: not a test (disabled, asserts only that the steps
// ran). For each vault size in BENCH_VAULT_GIB ("2 8" by default) it mounts a new vault, formats
// it NTFS, writes a 1 GiB file (buffered, then fsync) and reads it back after dropping the
// caches, and prints one line "vault <size> GiB: write <MB/s> read <MB/s>".
#include "vault_service_test.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <sstream>
#include <unistd.h>

using namespace vault_test;

namespace {

double seconds_of(const std::string& command)
{
    auto start = std::chrono::steady_clock::now();
    int rc = run(command);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return rc == 0 ? s : -1;
}

// One drop right after a write may leave the pages of both FUSE layers resident (their releases
// are still on the way), so drop until neither the file nor the block file under it has any.
void drop_caches_of(const std::string& file, const std::string& block)
{
    const std::string drop = "sync; echo 3 > /proc/sys/vm/drop_caches; test \"$(fincore "
                             "--noheadings --output PAGES '" +
                             file + "' '" + block + "' | sort -n | tail -1)\" -eq 0";
    for (int i = 0; i < 20 && run(drop) != 0; ++i)
        usleep(200 * 1000);
}

TEST(VaultBench, DISABLED_WriteAndReadOneGibibyte)
{
    std::string why;
    if (!vault_service::get().usable(&why))
        GTEST_SKIP() << why;
    vault_service& s = vault_service::get();
    const char* sizes = std::getenv("BENCH_VAULT_GIB");
    std::istringstream list(sizes && *sizes ? sizes : "2 8");
    for (long long gib; list >> gib;) {
        const std::string file = s.work() + "/bench.lkb";
        ASSERT_EQ(control(IOCTL_REDAV_MOUNT_NEW_DISK,
                          mount_request(u'Z', dos_path(file), gib << 30, false, vault_key(7)), 0)
                      .status,
                  STATUS_SUCCESS);
        ASSERT_EQ(run("mkntfs -Q -F -q '" + s.disk_file(u'Z') + "'"), 0);
        ASSERT_TRUE(eventually([&] { return is_mount_point(s.mount_point(u'Z')); }));
        const std::string target = s.mount_point(u'Z') + "/big";
        double write = seconds_of("dd if=/dev/zero of='" + target +
                                  "' bs=1M count=1024 conv=fsync status=none");
        drop_caches_of(target, s.disk_file(u'Z'));
        double read = seconds_of("dd if='" + target + "' of=/dev/null bs=1M status=none");
        EXPECT_GT(write, 0);
        EXPECT_GT(read, 0);
        std::printf("vault %lld GiB: write %.1f read %.1f\n", gib, 1024 / write, 1024 / read);
        std::fflush(stdout);
        ASSERT_EQ(control(IOCTL_REDAV_DISMOUNT, letter_request(u'Z', 1), 0).status, STATUS_SUCCESS);
        ::unlink(file.c_str());
    }
}

const ::testing::Environment* const bench_environment =
    ::testing::AddGlobalTestEnvironment(new vault_environment);

} // namespace
