// The vault halves of bench/vault_fs_bench.sh and bench/service_memory_bench.sh: not tests
// (disabled, asserting only that the steps ran). For each vault size in BENCH_VAULT_GIB ("2 8" by
// default) the first mounts a new vault, formats it NTFS, writes a 1 GiB file (buffered, then
// fsync) and reads it back after dropping the caches, and prints one line
// "vault <size> GiB: write <MB/s> read <MB/s>".
#include "vault_service_test.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <malloc.h>
#include <sstream>
#include <thread>
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

long resident_kib()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// The service's memory (this process) idle, with 20 formatted vaults mounted that each had a
// file written and read, and after all were dismounted: one line "service memory: ...".
TEST(VaultBench, DISABLED_MemoryOfTwentyVaultsMountedAndDismounted)
{
    std::string why;
    if (!vault_service::get().usable(&why))
        GTEST_SKIP() << why;
    vault_service& s = vault_service::get();
    const long idle = resident_kib();
    std::vector<char16_t> letters;
    for (char16_t l = u'D'; letters.size() < 20; ++l)
        letters.push_back(l);
    for (char16_t l : letters) {
        const std::string file = s.work() + "/mem" + char(l) + ".lkb";
        ASSERT_EQ(control(IOCTL_REDAV_MOUNT_NEW_DISK,
                          mount_request(l, dos_path(file), 64LL << 20, false, vault_key(9)), 0)
                      .status,
                  STATUS_SUCCESS);
        ASSERT_EQ(run("mkntfs -Q -F -q '" + s.disk_file(l) + "'"), 0);
        ASSERT_TRUE(eventually([&] { return is_mount_point(s.mount_point(l)); }));
        const std::string target = s.mount_point(l) + "/data";
        ASSERT_EQ(run("dd if=/dev/urandom of='" + target + "' bs=1M count=8 conv=fsync && cat '" +
                      target + "' >/dev/null"),
                  0);
    }
    const long mounted = resident_kib();
    for (char16_t l : letters) {
        ASSERT_EQ(control(IOCTL_REDAV_DISMOUNT, letter_request(l, 1), 0).status, STATUS_SUCCESS);
        ::unlink((s.work() + "/mem" + char(l) + ".lkb").c_str());
    }
    const long dismounted = resident_kib();
    // Idle loop threads of the disk bridge end after their idle time.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const long settled = resident_kib();
    // Where it is: blocks the allocator hands out, and what it keeps free.
    const struct mallinfo2 heap = mallinfo2();
    EXPECT_GT(mounted, 0);
    std::printf("service memory: idle %.1f MiB, 20 vaults %.1f MiB, dismounted %.1f MiB, "
                "3 s later %.1f MiB (allocated %.1f MiB, allocator keeps %.1f MiB free)\n",
                idle / 1024.0, mounted / 1024.0, dismounted / 1024.0, settled / 1024.0,
                double(heap.uordblks + heap.hblkhd) / (1 << 20), double(heap.fordblks) / (1 << 20));
    std::fflush(stdout);
}

const ::testing::Environment* const bench_environment =
    ::testing::AddGlobalTestEnvironment(new vault_environment);

} // namespace
