#include "test_root.h"

#include "windows.h"

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace {

class ShareModes : public TestRoot {
protected:
    HANDLE open(DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING)
    {
        return CreateFileW(u"T:\\f", access, share, nullptr, disposition, 0, nullptr);
    }
    void SetUp() override
    {
        TestRoot::SetUp();
        std::ofstream(volume_ + "/f") << "contents";
    }
};

TEST_F(ShareModes, OpensConflictAsOnWindows)
{
    HANDLE reader = open(GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    HANDLE second = open(GENERIC_READ, FILE_SHARE_READ);
    EXPECT_NE(second, INVALID_HANDLE_VALUE) << "readers sharing reading";
    CloseHandle(second);

    EXPECT_EQ(open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION)) << "the reader denies writing";
    EXPECT_EQ(open(GENERIC_READ, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION)) << "would deny the reader";

    EXPECT_EQ(open(GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_ALWAYS),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(std::filesystem::file_size(volume_ + "/f"), 8u) << "a refused open truncates nothing";

    EXPECT_FALSE(DeleteFileW(u"T:\\f"));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(MoveFileExW(u"T:\\f", u"T:\\g", 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    std::ofstream(volume_ + "/g") << "other";
    EXPECT_FALSE(MoveFileExW(u"T:\\g", u"T:\\f", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION)) << "nor replaced";

    ASSERT_TRUE(CloseHandle(reader));
    HANDLE writer = open(GENERIC_WRITE, 0);
    EXPECT_NE(writer, INVALID_HANDLE_VALUE) << "closing ends the record";
    CloseHandle(writer);

    HANDLE lenient = open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    ASSERT_NE(lenient, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(MoveFileExW(u"T:\\f", u"T:\\h", 0)) << "shared for deleting";
    CloseHandle(lenient);
}

TEST_F(ShareModes, HoldAcrossProcesses)
{
    int ready[2], done[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(done), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        HANDLE h = open(GENERIC_READ | GENERIC_WRITE, 0);
        char c = h == INVALID_HANDLE_VALUE ? 'n' : 'y';
        (void)!write(ready[1], &c, 1);
        (void)!read(done[0], &c, 1);
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    EXPECT_EQ(open(GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(DeleteFileW(u"T:\\f"));
    (void)!write(done[1], "x", 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(DeleteFileW(u"T:\\f")) << "the other process's handle is gone";
    for (int fd : {ready[0], ready[1], done[0], done[1]})
        close(fd);
}

} // namespace
