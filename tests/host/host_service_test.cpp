// The real zelvirdk binary: start, single instance per runtime folder, clean stop on SIGTERM
// and SIGINT, registry values kept across runs.
#include <ntifs.h>
#include <ntos_host.h>

#include "service_process.h"
#include "temp_folder.h"

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

using namespace std::chrono_literals;

// One run of the service, its output in a log file beside its state folder.
class service : public lockbin_test::service_process {
public:
    service(const std::string& runtime, const std::string& state,
            std::vector<std::string> args = {})
    {
        static int runs = 0;
        // Without root or FUSE the service runs only when told to do without disks.
        if (::geteuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0)
            args.insert(args.begin(), "--no-disks");
        start({ZELVIRDK_PATH, runtime, state, state + ".log" + std::to_string(++runs),
               std::move(args), false});
    }

    bool wait_for(const std::string& text) { return service_process::wait_for(text, 20s); }
    // Exit status, or -1 when the process did not end in time.
    int wait_exit(int seconds = 30)
    {
        int status = -1;
        return service_process::wait_exit(std::chrono::seconds(seconds), &status) ? status : -1;
    }
    void signal(int number) { ::kill(pid(), number); }
    std::string output() const { return log(); }
};

using lockbin_test::temp_folder;

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
    temp_folder folder("/tmp/zelvirdk-test-XXXXXX");
    const std::string& root = folder.path();
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
    temp_folder folder("/tmp/zelvirdk-test-XXXXXX");
    const std::string& root = folder.path();
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
    temp_folder folder("/tmp/zelvirdk-test-XXXXXX");
    const std::string& root = folder.path();
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
