// A temporary folder for one test, removed with everything in it when the holder goes.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace lockbin_test {

class temp_folder {
public:
    // /var/tmp by default: containers are opened O_DIRECT, which a tmpfs /tmp may refuse.
    explicit temp_folder(std::string pattern = "/var/tmp/lockbin-test-XXXXXX")
    {
        path_ = ::mkdtemp(pattern.data()) ? pattern : "";
    }
    ~temp_folder()
    {
        std::error_code ignored;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ignored);
    }
    temp_folder(const temp_folder&) = delete;
    temp_folder& operator=(const temp_folder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace lockbin_test
