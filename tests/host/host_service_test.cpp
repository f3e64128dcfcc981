// The real zelvirdk binary: start, single instance per runtime folder, clean stop on SIGTERM
// and SIGINT, registry values kept across runs.
#include <ntifs.h>
#include <ntos_host.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <poll.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

// One run of the service with its standard error captured.
class service {
public:
    service(const std::string& runtime, const std::string& state,
            std::vector<std::string> args = {})
        : runtime_(runtime)
    {
        int pipe_fds[2];
        if (::pipe2(pipe_fds, O_CLOEXEC) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(pipe_fds[1], 2);
            ::dup2(pipe_fds[1], 1);
            ::setenv("LOCKBIN_ROOT", runtime.c_str(), 1);
            ::setenv("LOCKBIN_STATE", state.c_str(), 1);
            std::vector<char*> argv{const_cast<char*>(ZELVIRDK_PATH)};
            // Without root or FUSE the service runs only when told to do without disks.
            std::string no_disks = "--no-disks";
            if (::geteuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0)
                argv.push_back(no_disks.data());
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(ZELVIRDK_PATH, argv.data());
            ::_exit(127);
        }
        ::close(pipe_fds[1]);
        out_ = pipe_fds[0];
    }
    ~service()
    {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            // A killed service leaves its disk file system mounted.
            ::umount2((runtime_ + "/disks").c_str(), MNT_DETACH);
        }
        if (out_ >= 0)
            ::close(out_);
    }

    // Reads output until text appears or the time is up.
    bool wait_for(const std::string& text, int seconds = 20)
    {
        auto deadline = clock_type::now() + std::chrono::seconds(seconds);
        while (output_.find(text) == std::string::npos) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
            if (left.count() <= 0 || !read_some(int(left.count())))
                return output_.find(text) != std::string::npos;
        }
        return true;
    }

    // Exit status, or -1 when the process did not end in time (it is killed then).
    int wait_exit(int seconds = 30)
    {
        auto deadline = clock_type::now() + std::chrono::seconds(seconds);
        for (;;) {
            int status = 0;
            pid_t done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                exited_ = true;
                while (read_some(0)) {
                }
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (clock_type::now() > deadline)
                return -1;
            read_some(50);
        }
    }

    void signal(int number) { ::kill(pid_, number); }
    pid_t pid() const { return pid_; }
    const std::string& output() const { return output_; }

private:
    bool read_some(int timeout_ms)
    {
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0)
            return false;
        char chunk[4096];
        ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        output_.append(chunk, size_t(n));
        return true;
    }

    std::string runtime_;
    pid_t pid_ = -1;
    int out_ = -1;
    bool exited_ = false;
    std::string output_;
};

// A temporary folder, removed with its contents when the test ends.
struct temp_folder {
    std::string path;
    temp_folder()
    {
        char base[] = "/tmp/zelvirdk-test-XXXXXX";
        path = ::mkdtemp(base);
    }
    ~temp_folder()
    {
        nftw(
            path.c_str(),
            [](const char* p, const struct stat*, int, FTW*) { return std::remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
};

// Whether anything is mounted at or below folder.
bool mounted_below(const std::string& folder)
{
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line))
        if (line.find(" " + folder + "/") != std::string::npos ||
            line.find(" " + folder + " ") != std::string::npos)
            return true;
    return false;
}

UNICODE_STRING us(const std::u16string& text)
{
    UNICODE_STRING s;
    s.Buffer = const_cast<PWSTR>(text.c_str());
    s.Length = USHORT(text.size() * 2);
    s.MaximumLength = USHORT(s.Length + 2);
    return s;
}

const std::u16string log_config =
    u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\zelvirdk\\Parameters\\DrvLogConfig";

} // namespace

TEST(Service, RunsAloneOverItsRuntimeFolderAndStopsCleanly)
{
    temp_folder folder;
    const std::string& root = folder.path;
    std::string runtime = root + "/run", state = root + "/state";
    service first(runtime, state);
    ASSERT_TRUE(first.wait_for("zelvirdk: running")) << first.output();
    std::ifstream lock_file(runtime + "/zelvirdk.lock");
    pid_t recorded = 0;
    lock_file >> recorded;
    EXPECT_EQ(recorded, first.pid());

    service second(runtime, state);
    EXPECT_EQ(second.wait_exit(), 1);
    EXPECT_NE(second.output().find("another instance"), std::string::npos) << second.output();

    first.signal(SIGTERM);
    EXPECT_EQ(first.wait_exit(), 0) << first.output();
    EXPECT_NE(first.output().find("pool report"), std::string::npos) << first.output();
    EXPECT_FALSE(mounted_below(runtime)); // the disk file system went with the service

    // The lock went with the process: the folder can be served again, and SIGINT stops too.
    service third(runtime, state);
    ASSERT_TRUE(third.wait_for("zelvirdk: running")) << third.output();
    third.signal(SIGINT);
    EXPECT_EQ(third.wait_exit(), 0) << third.output();
}

TEST(Service, OptionsAndUnusableFolders)
{
    temp_folder folder;
    const std::string& root = folder.path;
    service help(root + "/run", root + "/state", {"--help"});
    EXPECT_EQ(help.wait_exit(), 0);
    EXPECT_NE(help.output().find("LOCKBIN_ROOT"), std::string::npos);
    service bad(root + "/run", root + "/state", {"--bogus"});
    EXPECT_EQ(bad.wait_exit(), 2);
    // Nothing was started by either.
    struct stat st;
    EXPECT_NE(::stat((root + "/run").c_str(), &st), 0);

    std::ofstream(root + "/file") << "not a folder";
    service blocked(root + "/file/run", root + "/state");
    EXPECT_EQ(blocked.wait_exit(), 1);
    EXPECT_NE(blocked.output().find("runtime folder"), std::string::npos) << blocked.output();
}

TEST(Service, RegistryValuesOutliveTheService)
{
    temp_folder folder;
    const std::string& root = folder.path;
    std::string runtime = root + "/run", state = root + "/state";
    {
        service run(runtime, state);
        ASSERT_TRUE(run.wait_for("zelvirdk: running")) << run.output();
        run.signal(SIGTERM);
        ASSERT_EQ(run.wait_exit(), 0) << run.output();
    }

    // The driver wrote its log defaults under its service key; they are on disk now.
    ASSERT_EQ(ntos::start_host(root + "/test-run", state), STATUS_SUCCESS);
    UNICODE_STRING name = us(log_config);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &oa), STATUS_SUCCESS);
    std::u16string level_text = u"Level";
    UNICODE_STRING level = us(level_text);
    alignas(8) UCHAR buffer[32];
    ULONG length = 0;
    ASSERT_EQ(
        ZwQueryValueKey(key, &level, KeyValuePartialInformation, buffer, sizeof buffer, &length),
        STATUS_SUCCESS);
    auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    ULONG value = 0;
    std::memcpy(&value, info->Data, 4);
    EXPECT_EQ(info->Type, ULONG(REG_DWORD));
    EXPECT_EQ(value, 0xFFu);

    // A value set while the service is down is what the next run reads, and keeps.
    value = 0x80;
    ASSERT_EQ(ZwSetValueKey(key, &level, 0, REG_DWORD, &value, 4), STATUS_SUCCESS);
    ZwClose(key);
    {
        service run(runtime, state);
        ASSERT_TRUE(run.wait_for("zelvirdk: running")) << run.output();
        run.signal(SIGTERM);
        ASSERT_EQ(run.wait_exit(), 0) << run.output();
    }
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_SUCCESS);
    ASSERT_EQ(
        ZwQueryValueKey(key, &level, KeyValuePartialInformation, buffer, sizeof buffer, &length),
        STATUS_SUCCESS);
    std::memcpy(&value, info->Data, 4);
    EXPECT_EQ(value, 0x80u);
    ZwClose(key);
}
