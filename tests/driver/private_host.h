// The kernel layer reads its folders on first use: each driver test binary gets private ones
// (unless the environment already names them), removed when the binary exits.
#pragma once

#include <gtest/gtest.h>

#include <ntifs.h>
#include <ntos_host.h>
#include <ntos_layer.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace lockbin_test {

// The binary's folder: the layer's state folder, with R (the runtime folder) at "<it>/run".
inline const std::string& private_folder()
{
    static const std::string folder = [] {
        if (const char* given = std::getenv("LOCKBIN_STATE"))
            return std::string(given);
        static char made[] = "/tmp/lockbin-driver-test-XXXXXX";
        if (!mkdtemp(made))
            return std::string();
        setenv("LOCKBIN_STATE", made, 1);
        setenv("LOCKBIN_ROOT", (std::string(made) + "/run").c_str(), 1);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(made, ignored);
        });
        return std::string(made);
    }();
    return folder;
}

// Set before any test runs, so that no test's first use of the layer sees the defaults.
inline const bool private_folder_set = !private_folder().empty();

// The tests trace thousands of lines in seconds on purpose, and some read the trace back.
inline const bool debug_output_unbounded = (ntos::set_debug_output_rate(0, 0), true);

// The layer's host side over the private folders, started once per binary.
inline void start_private_host()
{
    static const bool started = [] {
        NTSTATUS status = ntos::start_host("", "");
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_ALREADY_COMMITTED) << status;
        return true;
    }();
    (void)started;
}

} // namespace lockbin_test
