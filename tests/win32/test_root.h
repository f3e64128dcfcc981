// A temporary runtime folder with one published drive T: whose files live in a temporary host
// folder, as the service would publish a mounted volume.
#pragma once

#include "hostns/hostns.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

class TestRoot : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/lockbin-win32-XXXXXX";
        base_ = mkdtemp(pattern);
        root_ = base_ + "/root";
        volume_ = base_ + "/volume";
        std::filesystem::create_directories(volume_);
        const char* old = std::getenv("LOCKBIN_ROOT");
        had_root_ = old != nullptr;
        if (old)
            old_root_ = old;
        setenv("LOCKBIN_ROOT", root_.c_str(), 1);
        hostns::Namespace ns;
        ASSERT_EQ(ns.publish_global(u"T:", u"\\Device\\TestVolume"), 0);
        ASSERT_EQ(ns.publish_volume(u"\\Device\\TestVolume", volume_), 0);
    }

    void TearDown() override
    {
        if (had_root_)
            setenv("LOCKBIN_ROOT", old_root_.c_str(), 1);
        else
            unsetenv("LOCKBIN_ROOT");
        std::error_code ec;
        std::filesystem::permissions(volume_, std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(base_, ec);
    }

    std::string host(const std::string& rel) const { return volume_ + "/" + rel; }

    std::string base_, root_, volume_;

private:
    bool had_root_ = false;
    std::string old_root_;
};
