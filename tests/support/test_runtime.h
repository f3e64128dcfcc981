// A temporary runtime folder (LOCKBIN_ROOT) and state folder (LOCKBIN_STATE) for one test, with a
// drives file that leaves D: undefined, so that every drive letter the user-mode layer reports is
// one the test made.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class TestRuntime : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/lockbin-client-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        base_ = pattern;
        root_ = base_ + "/run";
        state_ = base_ + "/state";
        std::filesystem::create_directories(root_);
        std::filesystem::create_directories(state_);
        std::filesystem::create_directories(base_ + "/config/lockbin");
        std::ofstream(base_ + "/config/lockbin/drives") << "D: none\n";
        set("LOCKBIN_ROOT", root_);
        set("LOCKBIN_STATE", state_);
        set("XDG_CONFIG_HOME", base_ + "/config");
    }

    void TearDown() override
    {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->had)
                setenv(it->name.c_str(), it->value.c_str(), 1);
            else
                unsetenv(it->name.c_str());
        }
        std::error_code ec;
        std::filesystem::remove_all(base_, ec);
    }

    std::string base_, root_, state_;

private:
    struct Saved {
        std::string name;
        bool had;
        std::string value;
    };

    void set(const char* name, const std::string& value)
    {
        const char* old = std::getenv(name);
        saved_.push_back({name, old != nullptr, old ? old : ""});
        setenv(name, value.c_str(), 1);
    }

    std::vector<Saved> saved_;
};
