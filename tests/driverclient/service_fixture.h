// The zelvirdk service host of this build, started as a child over a temporary runtime and
// state folder for each test (LOCKBIN_ZELVIRDK names the binary; without it the tests skip).
#pragma once

#include "test_runtime.h"

#include "redav_client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef LOCKBIN_ZELVIRDK
#define LOCKBIN_ZELVIRDK ""
#endif

namespace service_fixture {

using namespace std::chrono_literals;

inline std::string read_text(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Mount points under `prefix`, deepest first, each with its device's minor number (for FUSE, the
// connection number under /sys/fs/fuse/connections).
inline std::vector<std::pair<std::string, unsigned>> mounts_under(const std::string& prefix)
{
    std::vector<std::pair<std::string, unsigned>> found;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        unsigned minor = 0;
        if (point.compare(0, prefix.size(), prefix) == 0 &&
            std::sscanf(device.c_str(), "%*u:%u", &minor) == 1)
            found.emplace_back(point, minor);
    }
    std::sort(found.rbegin(), found.rend());
    return found;
}

class ServiceTest : public TestRuntime {
protected:
    void SetUp() override
    {
        TestRuntime::SetUp();
        if (std::string(LOCKBIN_ZELVIRDK).empty())
            GTEST_SKIP() << "the zelvirdk service host is not part of this build";
        log_ = base_ + "/zelvirdk.log";
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            execl(LOCKBIN_ZELVIRDK, "zelvirdk", static_cast<char*>(nullptr));
            _exit(127);
        }
        // The host says when it serves; the control device may still be missing (a stand-in
        // driver, or one whose entry failed).
        auto deadline = std::chrono::steady_clock::now() + 30s;
        while (read_text(log_).find("zelvirdk: running") == std::string::npos) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                FAIL() << "the service ended before serving:\n" << read_text(log_);
            }
            if (std::chrono::steady_clock::now() > deadline)
                FAIL() << "the service did not come up in 30 s:\n" << read_text(log_);
            std::this_thread::sleep_for(20ms);
        }
        if (!client_.IsDriverPresent())
            GTEST_SKIP() << "the service runs without the driver's control device:\n"
                         << read_text(log_);
    }

    void TearDown() override
    {
        stop_service();
        TestRuntime::TearDown();
    }

    // SIGTERM, and if the host hangs (a request stuck in its disk bridge), abort its FUSE
    // connections so that it can be killed; nothing may stay mounted under the test folder.
    void stop_service()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            if (!wait_child(20s)) {
                ADD_FAILURE() << "the service did not stop on SIGTERM:\n" << read_text(log_);
                for (const auto& [point, minor] : mounts_under(base_ + "/"))
                    std::ofstream("/sys/fs/fuse/connections/" + std::to_string(minor) + "/abort")
                        << 1;
                kill(pid_, SIGKILL);
                wait_child(10s);
            }
            pid_ = -1;
        }
        for (const auto& [point, minor] : mounts_under(base_ + "/")) {
            ADD_FAILURE() << "left mounted: " << point;
            umount2(point.c_str(), MNT_DETACH);
        }
    }

    bool wait_child(std::chrono::seconds limit)
    {
        auto deadline = std::chrono::steady_clock::now() + limit;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) != pid_) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    // "C:\..." of a host path: C: is the host's root.
    static std::u16string dos_path(const std::string& host)
    {
        std::u16string out = u"C:";
        for (char c : host)
            out += c == '/' ? u'\\' : char16_t(c);
        return out;
    }

    std::string log_;
    pid_t pid_ = -1;
    RedAvClient client_;
};

} // namespace service_fixture
