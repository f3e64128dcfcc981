// Named mutexes, published windows, ShellExecuteW and the command line.
#include "test_root.h"

#include "hostpath.h"
#include "windows.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

std::string read_file(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_script(const std::string& path, const std::string& body)
{
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
}

// A private session folder ($XDG_RUNTIME_DIR) and a folder of fake programs first on the PATH.
class SessionTest : public TestRoot {
protected:
    void SetUp() override
    {
        TestRoot::SetUp();
        chmod(base_.c_str(), 0755);
        runtime_ = base_ + "/runtime";
        bin_ = base_ + "/bin";
        mkdir(runtime_.c_str(), 0700);
        mkdir(bin_.c_str(), 0755);
        saved_runtime_ = getenv("XDG_RUNTIME_DIR") ? getenv("XDG_RUNTIME_DIR") : "";
        saved_path_ = getenv("PATH") ? getenv("PATH") : "";
        setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        setenv("PATH", (bin_ + ":" + saved_path_).c_str(), 1);
    }
    void TearDown() override
    {
        setenv("XDG_RUNTIME_DIR", saved_runtime_.c_str(), 1);
        setenv("PATH", saved_path_.c_str(), 1);
        TestRoot::TearDown();
    }

    // Waits up to two seconds for a file to appear.
    bool wait_for(const std::string& path)
    {
        for (int i = 0; i < 200; ++i) {
            if (access(path.c_str(), F_OK) == 0)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string runtime_, bin_, saved_runtime_, saved_path_;
};

using MutexTest = SessionTest;

TEST_F(MutexTest, ExistsWhileAnyHandleInAnyProcessIsOpen)
{
    HANDLE first = CreateMutexW(nullptr, FALSE, u"ZELIII_MutexLockbinL");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), 0u);
    HANDLE second = CreateMutexW(nullptr, FALSE, u"Local\\ZELIII_MutexLockbinL");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(second));

    // A copy that holds the name and then crashes leaves it free.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        CreateMutexW(nullptr, FALSE, u"ZELIII_MutexLockbinL");
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    HANDLE other = CreateMutexW(nullptr, FALSE, u"ZELIII_MutexLockbinL");
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    CloseHandle(other);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    HANDLE after = CreateMutexW(nullptr, FALSE, u"ZELIII_MutexLockbinL");
    EXPECT_EQ(GetLastError(), 0u);
    CloseHandle(after);
    close(ready[0]);
    close(ready[1]);
}

TEST_F(MutexTest, RefusesBadNamesAndASessionFolderOthersCouldWrite)
{
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"a\\b"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_NAME));
    EXPECT_EQ(CreateMutexW(nullptr, TRUE, u"owned"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_SUPPORTED));

    const std::string dir = runtime_ + "/lockbin";
    mkdir(dir.c_str(), 0777);
    chmod(dir.c_str(), 0777);
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"name"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
}

using WindowTest = SessionTest;

TEST_F(WindowTest, AnotherProcessFindsAndRaisesAPublishedWindow)
{
    const std::string raised = base_ + "/raised";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        static std::string marker = raised;
        LockbinPublishWindow(
            u"岚泽禾zavor系统软件 V2.0", [](void*) { std::ofstream(marker) << "up"; }, nullptr);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(FindWindowW(nullptr, u"another title"), nullptr);
    EXPECT_EQ(FindWindowW(u"#32770", u"岚泽禾zavor系统软件 V2.0"), nullptr);
    HWND window = FindWindowW(nullptr, u"岚泽禾zavor系统软件 V2.0");
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(SetForegroundWindow(window));
    EXPECT_TRUE(wait_for(raised));

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(SetForegroundWindow(window));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(FindWindowW(nullptr, u"岚泽禾zavor系统软件 V2.0"), nullptr);
    close(ready[0]);
    close(ready[1]);
}

using ShellTest = SessionTest;

bool succeeded(HINSTANCE result)
{
    return reinterpret_cast<intptr_t>(result) > 32;
}

TEST_F(ShellTest, OpenHandsUrlsAndHostPathsToTheOpenerAndReportsItsFailure)
{
    const std::string seen = base_ + "/seen";
    const std::string code = base_ + "/code";
    write_script(bin_ + "/xdg-open",
                 "echo \"$1\" > " + seen + "; exit $(cat " + code + " 2>/dev/null || echo 0)");
    EXPECT_TRUE(succeeded(
        ShellExecuteW(nullptr, u"open", u"http://127.0.0.1:9/x", nullptr, nullptr, SW_SHOW)));
    EXPECT_EQ(read_file(seen), "http://127.0.0.1:9/x\n");

    mkdir(host("folder").c_str(), 0755);
    EXPECT_TRUE(
        succeeded(ShellExecuteW(nullptr, u"open", u"T:\\folder", nullptr, nullptr, SW_SHOW)));
    EXPECT_EQ(read_file(seen), host("folder") + "\n");

    // Missing targets fail before any opener runs.
    unlink(seen.c_str());
    EXPECT_EQ(reinterpret_cast<intptr_t>(
                  ShellExecuteW(nullptr, u"open", u"T:\\nothing", nullptr, nullptr, SW_SHOW)),
              SE_ERR_FNF);
    EXPECT_EQ(reinterpret_cast<intptr_t>(
                  ShellExecuteW(nullptr, u"open", u"T:\\no\\thing", nullptr, nullptr, SW_SHOW)),
              SE_ERR_PNF);
    EXPECT_NE(access(seen.c_str(), F_OK), 0);

    // The opener's own failure is the call's failure, not a success.
    std::ofstream(code) << "3";
    EXPECT_EQ(reinterpret_cast<intptr_t>(
                  ShellExecuteW(nullptr, u"open", u"mailto:a@b.c", nullptr, nullptr, SW_SHOW)),
              SE_ERR_NOASSOC);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_ASSOCIATION));
}

TEST_F(ShellTest, RunasFindsTheProgramWithoutItsExeAndSplitsParameters)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "runas runs the program directly only as root";
    const std::string out = base_ + "/args";
    write_script(bin_ + "/update", "for a in \"$@\"; do echo \"[$a]\"; done > " + out +
                                       ".tmp; mv " + out + ".tmp " + out);
    EXPECT_TRUE(succeeded(ShellExecuteW(nullptr, u"runas", u"update.exe", u"/x \"a b\" c\\\"d",
                                        nullptr, SW_SHOWNORMAL)));
    ASSERT_TRUE(wait_for(out));
    EXPECT_EQ(read_file(out), "[/x]\n[a b]\n[c\"d]\n");

    EXPECT_EQ(reinterpret_cast<intptr_t>(
                  ShellExecuteW(nullptr, u"runas", u"missing.exe", nullptr, nullptr, SW_SHOW)),
              SE_ERR_FNF);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

TEST_F(ShellTest, RunasAsAUserFailsWhenElevationIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to become another user for the test";
    write_script(bin_ + "/update", "exit 0");
    chmod(runtime_.c_str(), 0777);
    pid_t child = fork();
    if (child == 0) {
        // Without a polkit authority (no system bus here) pkexec gives up: the call must fail.
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            _exit(2);
        setenv("XDG_RUNTIME_DIR", "/nonexistent", 1);
        HINSTANCE result =
            ShellExecuteW(nullptr, u"runas", u"update.exe", nullptr, nullptr, SW_SHOW);
        _exit(reinterpret_cast<intptr_t>(result) == SE_ERR_ACCESSDENIED &&
                      GetLastError() == ERROR_CANCELLED
                  ? 0
                  : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

using HostPathTest = TestRoot;

TEST_F(HostPathTest, TheDriveHoldingAHostPathMostCloselyNamesIt)
{
    mkdir(host("a").c_str(), 0755);
    EXPECT_EQ(DosPathToHostPath(u"T:\\a\\b.lkb"), host("a/b.lkb"));
    // T:'s folder lies under C: (the host's root) too; the closer drive wins.
    EXPECT_EQ(HostPathToDosPath(host("a/b.lkb")), u"T:\\a\\b.lkb");
    EXPECT_EQ(HostPathToDosPath(volume_), u"T:\\");
    EXPECT_EQ(HostPathToDosPath("/usr/share"), u"C:\\usr\\share");
    // A sibling whose name only begins like the drive's folder is not on that drive.
    std::u16string sibling = u"C:";
    for (char c : volume_ + "x/f")
        sibling += c == '/' ? u'\\' : char16_t(c);
    EXPECT_EQ(HostPathToDosPath(volume_ + "x/f"), sibling);
    EXPECT_EQ(HostPathToDosPath("relative/path"), u"");
}

TEST(CommandLine, QuotesAsThePlatformParserReadsBack)
{
    // The platform's documented parsing examples.
    using V = std::vector<std::u16string>;
    EXPECT_EQ(win32::SplitCommandLineArguments(u"\"a b c\" d e"), (V{u"a b c", u"d", u"e"}));
    EXPECT_EQ(win32::SplitCommandLineArguments(u"\"ab\\\"c\" \"\\\\\" d"),
              (V{u"ab\"c", u"\\", u"d"}));
    EXPECT_EQ(win32::SplitCommandLineArguments(u"a\\\\\\b d\"e f\"g h"),
              (V{u"a\\\\\\b", u"de fg", u"h"}));
    EXPECT_EQ(win32::SplitCommandLineArguments(u"a\\\\\\\"b c d"), (V{u"a\\\"b", u"c", u"d"}));
    EXPECT_EQ(win32::SplitCommandLineArguments(u"a\\\\\\\\\"b c\" d e"),
              (V{u"a\\\\b c", u"d", u"e"}));

    const V tricky{u"",        u"plain",      u"two words", u"end\\",
                   u"q\"uote", u"dir with\\", u"\\\\\"",    u"/CreateDefault"};
    std::u16string line;
    for (const auto& a : tricky)
        line += (line.empty() ? u"" : u" ") + win32::QuoteCommandLineArgument(a);
    EXPECT_EQ(win32::SplitCommandLineArguments(line), tricky);
}

TEST(CommandLine, StartsWithTheProgramAndEndsWithItsArguments)
{
    const std::u16string line = GetCommandLineW();
    const auto arguments = win32::SplitCommandLineArguments(line);
    ASSERT_FALSE(arguments.empty());
    EXPECT_EQ(arguments[0].substr(1, 2), u":\\");
    EXPECT_NE(arguments[0].find(u"win32_tests"), std::u16string::npos);
    EXPECT_EQ(GetCommandLineW(), GetCommandLineW());
}

} // namespace
