// The zelvirdk service host of this build, started as a child over a temporary runtime and
// state folder for each test (LOCKBIN_ZELVIRDK names the binary; without it the tests skip).
#pragma once

#include "service_process.h"
#include "test_runtime.h"

#include "redav_client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
using lockbin_test::mounts_under;
using lockbin_test::read_text;

class ServiceTest : public TestRuntime {
protected:
    void SetUp() override
    {
        TestRuntime::SetUp();
        if (std::string(LOCKBIN_ZELVIRDK).empty())
            GTEST_SKIP() << "the zelvirdk service host is not part of this build";
        log_ = base_ + "/zelvirdk.log";
        ASSERT_TRUE(service_.start({LOCKBIN_ZELVIRDK, root_, state_, log_, {}, false}));
        // The host says when it serves; the control device may still be missing (a driver whose
        // entry failed).
        if (!service_.wait_for("zelvirdk: running", 30s)) {
            if (!service_.started())
                FAIL() << "the service ended before serving:\n" << read_text(log_);
            FAIL() << "the service did not come up in 30 s:\n" << read_text(log_);
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
        if (service_.started() && service_.stop(20s) < 0) {
            ADD_FAILURE() << "the service did not stop on SIGTERM:\n" << read_text(log_);
            service_.kill();
        }
        for (const auto& [point, minor] : mounts_under(base_ + "/")) {
            ADD_FAILURE() << "left mounted: " << point;
            umount2(point.c_str(), MNT_DETACH);
        }
    }

    // "C:\..." of a host path: C: is the host's root.
    static std::u16string dos_path(const std::string& host) { return lockbin_test::dos_path(host); }

    std::string log_;
    lockbin_test::service_process service_;
    RedAvClient client_;
};

// The real service for tests that make NTFS vaults: skipped without root, /dev/fuse or mkntfs;
// the test runs in its base folder, where the operations keep "Lockbin.xml".
class VaultServiceTest : public ServiceTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "vaults need root and /dev/fuse";
        if (std::system("command -v mkntfs >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "needs mkntfs (package ntfs-3g)";
        ServiceTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        char* here = ::getcwd(nullptr, 0);
        old_cwd_ = here;
        std::free(here);
        ASSERT_EQ(::chdir(base_.c_str()), 0);
    }

    void TearDown() override
    {
        if (!old_cwd_.empty())
            (void)!::chdir(old_cwd_.c_str());
        ServiceTest::TearDown();
    }

    std::string old_cwd_;
};

} // namespace service_fixture
