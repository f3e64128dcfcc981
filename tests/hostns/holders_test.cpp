// The scan for processes that keep a drive's folder busy, over the real /proc: this process and
// a child it starts hold files in temporary folders in each of the three ways.
#include "hostns/holders.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

using hostns::hold_kind;
using hostns::holder;

const holder* find_pid(const std::vector<holder>& holders, pid_t pid)
{
    for (const auto& h : holders)
        if (h.pid == pid)
            return &h;
    return nullptr;
}

TEST(DriveHolders, FindsOpenFilesWorkingDirectoriesAndMappingsUnderTheFolderOnly)
{
    char pattern[] = "/var/tmp/lockbin-holders-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string base = pattern;
    // "held" and "held-not" share a prefix: only a whole component may match.
    for (const char* sub : {"/held", "/held-not", "/cwd", "/mapped"})
        std::filesystem::create_directories(base + sub);
    std::ofstream(base + "/held/open.txt") << "x";
    std::ofstream(base + "/held-not/other.txt") << "x";
    std::ofstream(base + "/mapped/map.bin") << std::string(4096, 'm');

    int fd = ::open((base + "/held/open.txt").c_str(), O_RDONLY);
    int other = ::open((base + "/held-not/other.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    int map_fd = ::open((base + "/mapped/map.bin").c_str(), O_RDONLY);
    void* map = ::mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, map_fd, 0);
    ASSERT_NE(map, MAP_FAILED);
    ::close(map_fd); // the mapping alone holds the file now

    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    pid_t child = ::fork();
    if (child == 0) {
        // Only a working directory: no descriptor of the child points under the folder.
        ::close(fd);
        ::close(other);
        bool ok = ::chdir((base + "/cwd").c_str()) == 0;
        (void)!::write(ready[1], ok ? "1" : "0", 1);
        char c;
        (void)!::read(release[0], &c, 1);
        ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, '1');

    auto held = hostns::find_holders(base + "/held");
    const holder* self = find_pid(held, ::getpid());
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->how, hold_kind::open_file);
    EXPECT_EQ(self->path, base + "/held/open.txt");
    EXPECT_FALSE(self->name.empty());
    EXPECT_EQ(find_pid(held, child), nullptr) << "the child closed its inherited descriptor";

    auto cwd = hostns::find_holders(base + "/cwd");
    ASSERT_EQ(cwd.size(), 1u);
    EXPECT_EQ(cwd[0].pid, child);
    EXPECT_EQ(cwd[0].how, hold_kind::working_directory);

    auto mapped = hostns::find_holders(base + "/mapped");
    self = find_pid(mapped, ::getpid());
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->how, hold_kind::mapping);
    EXPECT_EQ(self->path, base + "/mapped/map.bin");

    (void)!::write(release[1], "x", 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::munmap(map, 4096);
    ::close(fd);
    ::close(other);
    EXPECT_TRUE(hostns::find_holders(base + "/held").empty());
    EXPECT_TRUE(hostns::find_holders(base + "/cwd").empty());
    EXPECT_TRUE(hostns::find_holders(base + "/mapped").empty());
    std::filesystem::remove_all(base);
}

} // namespace
