// What an fsync inside a vault acknowledged survives a kill of the service: the service runs in
// a child process that is killed outright, and a fresh service finds the data in the container.
#include "vault_service_test.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

using namespace vault_test;

namespace {

// Aborts and detaches every FUSE mount a killed service left under its folder, and ends the
// file-system processes it had started.
void clean_up_after(const std::string& base)
{
    std::ifstream in("/proc/self/mountinfo");
    std::vector<std::pair<std::string, std::string>> dead;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (point.rfind(base, 0) == 0)
            dead.emplace_back(device, point);
    }
    for (auto it = dead.rbegin(); it != dead.rend(); ++it) {
        std::string minor = it->first.substr(it->first.find(':') + 1);
        run("echo 1 > /sys/fs/fuse/connections/" + minor + "/abort");
        ::umount2(it->second.c_str(), MNT_DETACH);
    }
    // The killed service's file-system processes: their command lines name its folder.
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream cmdline(entry.path() / "cmdline");
        std::string args((std::istreambuf_iterator<char>(cmdline)), {});
        if (args.rfind("ntfs-3g", 0) == 0 && args.find(base) != std::string::npos)
            ::kill(pid_t(std::stol(name)), SIGKILL);
    }
}

TEST(VaultDurability, FsyncedDataSurvivesAKilledService)
{
    if (::geteuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0 ||
        run("command -v ntfs-3g") != 0 || run("command -v mkntfs") != 0)
        GTEST_SKIP() << "needs root, /dev/fuse, ntfs-3g and mkntfs";
    if (vault_service::get().started())
        GTEST_SKIP() << "the service already runs in this process; run this test on its own";

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t service = ::fork();
    if (service == 0) {
        ::close(ready[0]);
        std::string why;
        vault_service& s = vault_service::get();
        if (!s.usable(&why))
            ::_exit(2);
        std::string file = s.work() + "/durable.lkb";
        if (control(IOCTL_REDAV_MOUNT_NEW_DISK,
                    mount_request(u'Z', dos_path(file), 256LL << 20, false, vault_key(5)), 0)
                    .status != STATUS_SUCCESS ||
            run("mkntfs -Q -F -q '" + s.disk_file(u'Z') + "'") != 0 ||
            !eventually([&] { return is_mount_point(s.mount_point(u'Z')); }))
            ::_exit(3);
        int fd = ::open((s.mount_point(u'Z') + "/ledger.txt").c_str(), O_CREAT | O_WRONLY, 0600);
        if (fd < 0 || ::write(fd, "acknowledged", 12) != 12 || ::fsync(fd) != 0)
            ::_exit(4);
        std::string message = s.base() + "\n" + file + "\n";
        if (::write(ready[1], message.data(), message.size()) != ssize_t(message.size()))
            ::_exit(5);
        for (;;)
            ::pause(); // killed here, the file still open
    }
    ::close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    std::string message;
    if (::poll(&p, 1, 90000) == 1) {
        char buffer[1024];
        ssize_t n = ::read(ready[0], buffer, sizeof(buffer));
        if (n > 0)
            message.assign(buffer, size_t(n));
    }
    ::close(ready[0]);
    ::kill(service, SIGKILL);
    int status = 0;
    ::waitpid(service, &status, 0);
    size_t newline = message.find('\n');
    ASSERT_NE(newline, std::string::npos) << "the first service did not get the vault ready";
    const std::string old_base = message.substr(0, newline);
    const std::string file =
        message.substr(newline + 1, message.find('\n', newline + 1) - newline - 1);
    clean_up_after(old_base);

    std::string why;
    vault_service& s = vault_service::get();
    ASSERT_TRUE(s.usable(&why)) << why;
    ASSERT_EQ(control(IOCTL_REDAV_MOUNT_EXIST_DISK,
                      mount_request(u'Z', dos_path(file), 0, false, vault_key(5)), 0)
                  .status,
              STATUS_SUCCESS);
    ASSERT_TRUE(eventually([&] { return is_mount_point(s.mount_point(u'Z')); }, 20));
    std::ifstream in(s.mount_point(u'Z') + "/ledger.txt");
    std::string text;
    in >> text;
    in.close();
    EXPECT_EQ(text, "acknowledged");
    EXPECT_EQ(control(IOCTL_REDAV_DISMOUNT, letter_request(u'Z', 1), 0).status, STATUS_SUCCESS);
    run("rm -rf '" + old_base + "'");
}

const ::testing::Environment* const durability_environment =
    ::testing::AddGlobalTestEnvironment(new vault_environment);

} // namespace
