// The control protocol end to end: the real service (zelvirdk) runs as a child process over a
// private runtime folder, and this process talks to it as any client would, through the
// user-mode layer's CreateFileW and DeviceIoControl on "\\.\ZELRedAv" and the Unix socket
// behind it. Raw-socket clients check that malformed, truncated, oversized and abandoned
// messages, and floods of connections, cost only their own connection.
#include <gtest/gtest.h>

#include <windows.h>

#include <hostns/control_wire.h>
#include "klog_entry.h"
#include "redav_ioctl.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string g_root;
std::string g_state;
pid_t g_service = -1;

std::string SocketPath()
{
    return g_root + "/control/%5CDevice%5CZELRedAv";
}

// One service for the whole binary: starting it per test would only repeat DriverEntry.
class Service : public ::testing::Environment {
public:
    void SetUp() override
    {
        char base[] = "/tmp/lockbin-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(base), nullptr);
        chmod(base, 0755); // other users reach the socket through it
        base_ = base;
        g_root = std::string(base) + "/run";
        g_state = std::string(base) + "/state";
        setenv("LOCKBIN_ROOT", g_root.c_str(), 1);
        std::string log = std::string(base) + "/service.log";
        g_service = fork();
        ASSERT_GE(g_service, 0);
        if (g_service == 0) {
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            setenv("LOCKBIN_STATE", g_state.c_str(), 1);
            // These tests need no disks: the service runs without its disk bridge, so that it
            // does not mount block files over the private folder.
            execl(ZELVIRDK_PATH, ZELVIRDK_PATH, "--no-disks", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            struct stat st;
            if (stat(SocketPath().c_str(), &st) == 0) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::ifstream in(log);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        FAIL() << "the service did not publish its control socket:\n" << text;
    }
    void TearDown() override
    {
        if (g_service > 0) {
            kill(g_service, SIGTERM);
            int status = 0;
            waitpid(g_service, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "the service did not unload cleanly";
        }
        std::error_code ignored;
        std::filesystem::remove_all(base_, ignored);
    }

private:
    std::string base_;
};

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new Service);

HANDLE Open()
{
    return CreateFileW(u"\\\\.\\ZELRedAv", GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

struct Result {
    BOOL ok;
    DWORD error;
    DWORD returned;
};

Result Control(DWORD code, std::vector<UCHAR> input, DWORD outputLength,
               std::vector<UCHAR>* output = nullptr)
{
    HANDLE device = Open();
    EXPECT_NE(device, INVALID_HANDLE_VALUE);
    std::vector<UCHAR> out(outputLength);
    DWORD returned = 12345;
    SetLastError(0);
    BOOL ok =
        DeviceIoControl(device, code, input.empty() ? nullptr : input.data(), DWORD(input.size()),
                        out.empty() ? nullptr : out.data(), outputLength, &returned, nullptr);
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(device);
    if (output) {
        *output = out;
    }
    return {ok, error, returned};
}

std::vector<UCHAR> MountRequest(char16_t letter, const std::string& path, LONGLONG size,
                                UCHAR encrypt, ULONG keyLength, ULONG extra = 8)
{
    std::vector<UCHAR> buffer(544 + keyLength + extra);
    REDAV_MOUNT_REQUEST r{};
    r.VolumeLetter = letter;
    for (size_t i = 0; i < path.size() && i < 259; ++i) {
        r.FilePath[i] = char16_t(path[i] == '/' ? '\\' : path[i]);
    }
    r.DiskSize = size;
    r.IsEncrypt = encrypt;
    r.KeyLength = keyLength;
    std::memcpy(buffer.data(), &r, 544);
    for (ULONG i = 0; i < keyLength; ++i) {
        buffer[544 + i] = UCHAR(0x5A ^ i);
    }
    return buffer;
}

std::vector<UCHAR> Letter(char16_t letter, size_t size)
{
    std::vector<UCHAR> buffer(size);
    std::memcpy(buffer.data(), &letter, 2);
    return buffer;
}

std::string Drvlog(const std::string& arguments, int* rc)
{
    std::string command = "LOCKBIN_ROOT=" + g_root + " " + DRVLOG_PATH + " " + arguments;
    FILE* out = popen(command.c_str(), "r");
    std::string text;
    char line[512];
    while (out && fgets(line, sizeof(line), out)) {
        text += line;
    }
    *rc = out ? pclose(out) : -1;
    return text;
}

// First in this file, so that a run of the whole binary still finds the start record waiting.
TEST(ControlSocket, DrvlogReadsTheStartRecordAndTheConfiguration)
{
    int rc = -1;
    std::string records = Drvlog("read", &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(records.find("INFO  main.cpp|DriverEntry [System "), std::string::npos) << records;
    EXPECT_NE(records.find("[redav] Driver Start!"), std::string::npos) << records;
    std::string config = Drvlog("config --level 0xC0", &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_NE(config.find("Trace=1 MaxMemLogCnt=1000 Level=0xC0 Type=0xFFFFFFFF"),
              std::string::npos)
        << config;
    Drvlog("config --level 0xFF", &rc);
    EXPECT_EQ(Drvlog("config --bogus 1 2>/dev/null", &rc), "");
    EXPECT_NE(rc, 0);
}

TEST(ControlSocket, OpenCloseAndRequestsOtherThanControlAreRefused)
{
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE) << GetLastError();
    char buffer[16];
    DWORD done = 99;
    EXPECT_FALSE(ReadFile(device, buffer, sizeof(buffer), &done, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION)); // STATUS_INVALID_DEVICE_REQUEST
    EXPECT_EQ(done, 0u);
    EXPECT_FALSE(WriteFile(device, buffer, sizeof(buffer), &done, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_TRUE(CloseHandle(device));

    EXPECT_EQ(
        CreateFileW(u"\\\\.\\NoSuchDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    // Device names ignore letter case, as the object manager does.
    HANDLE lower =
        CreateFileW(u"\\\\.\\zelredav", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(lower, INVALID_HANDLE_VALUE);
    CloseHandle(lower);
}

TEST(ControlSocket, RefusalsOfTheProtocolReachTheCaller)
{
    // Unknown code: STATUS_INVALID_PARAMETER, not STATUS_INVALID_DEVICE_REQUEST.
    Result unknown = Control(0x8520E800, Letter(u'E', 8), 0);
    EXPECT_FALSE(unknown.ok);
    EXPECT_EQ(unknown.error, DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Control(IOCTL_REDAV_QUERY_VOLUME, Letter(u'E', 2), 1063).error,
              DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Control(IOCTL_REDAV_MOUNT_EXIST_DISK, std::vector<UCHAR>(551), 0).error,
              DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(
        Control(IOCTL_REDAV_MOUNT_NEW_DISK, MountRequest(u'E', "C:/x.lkb", 1 << 20, 1, 128), 4)
            .error,
        DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Control(IOCTL_REDAV_SET_VOLUME_RW_STATUS, Letter(u'E', 9), 0).error,
              DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Control(IOCTL_REDAV_SET_HIDE_SECTOR, Letter(u'E', 1027), 0).error,
              DWORD(ERROR_INVALID_PARAMETER));
    for (char16_t bad : {u'A', u'B', u'C', u'[', u'{'}) {
        EXPECT_EQ(Control(IOCTL_REDAV_DISMOUNT, Letter(bad, 4), 0).error,
                  DWORD(ERROR_INVALID_PARAMETER))
            << int(bad);
    }
    // Well formed, but nothing is mounted at Y.
    Result none = Control(IOCTL_REDAV_QUERY_VOLUME, Letter(u'Y', 2), 1064);
    EXPECT_FALSE(none.ok);
    EXPECT_EQ(none.error, DWORD(ERROR_GEN_FAILURE)); // STATUS_UNSUCCESSFUL
    EXPECT_EQ(none.returned, 0u);
    // The two refusals of mount requests left to this implementation.
    std::vector<UCHAR> past = MountRequest(u'E', "C:/x.lkb", 0, 1, 0);
    ULONG claimed = 200; // reaches past the 552 bytes sent
    std::memcpy(past.data() + 540, &claimed, 4);
    EXPECT_EQ(Control(IOCTL_REDAV_MOUNT_EXIST_DISK, past, 0).error, DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(
        Control(IOCTL_REDAV_MOUNT_EXIST_DISK, MountRequest(u'E', "C:/x.lkb", 0, 1, 0), 0).error,
        DWORD(ERROR_INVALID_PARAMETER));
}

TEST(ControlSocket, MountQueryAndDismountOfANewDisk)
{
    std::string container = g_state + "/../vault-e.lkb";
    char real[PATH_MAX];
    ASSERT_NE(realpath((g_state + "/..").c_str(), real), nullptr);
    container = std::string("C:") + real + "/vault-e.lkb";
    // The letter goes in lower case and the path in DOS form, as a careless caller sends them.
    Result mount =
        Control(IOCTL_REDAV_MOUNT_NEW_DISK, MountRequest(u'e', container, 4 << 20, 1, 128), 0);
    ASSERT_TRUE(mount.ok) << mount.error;

    std::vector<UCHAR> out;
    Result query = Control(IOCTL_REDAV_QUERY_VOLUME, Letter(u'e', 2), 2000, &out);
    ASSERT_TRUE(query.ok) << query.error;
    EXPECT_EQ(query.returned, 1064u);
    REDAV_VOLUME_INFO info;
    std::memcpy(&info, out.data(), sizeof(info));
    EXPECT_EQ(info.VolumeLetter, u'E');
    EXPECT_EQ(std::u16string(info.DeviceName), u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskE");
    std::u16string stored(info.FilePath);
    std::u16string expected = u"\\Device\\HarddiskVolume1";
    for (char c : std::string(real) + "/vault-e.lkb") {
        expected += char16_t(c == '/' ? '\\' : c);
    }
    EXPECT_EQ(stored, expected); // rewritten into device form before it was stored
    EXPECT_EQ(info.FileSize, 4 << 20);
    EXPECT_EQ(info.IsEncrypt, 1);

    std::vector<UCHAR> state(8);
    std::memcpy(state.data(), u"E", 2);
    state[4] = 3;
    EXPECT_EQ(Control(IOCTL_REDAV_SET_VOLUME_RW_STATUS, state, 0).error, DWORD(ERROR_GEN_FAILURE));
    state[4] = 1;
    EXPECT_TRUE(Control(IOCTL_REDAV_SET_VOLUME_RW_STATUS, state, 0).ok);

    // Mounting a second volume at the same letter fails and leaves the first one in place.
    EXPECT_EQ(
        Control(IOCTL_REDAV_MOUNT_NEW_DISK, MountRequest(u'E', container + "2", 1 << 20, 1, 128), 0)
            .error,
        DWORD(ERROR_GEN_FAILURE));
    EXPECT_TRUE(Control(IOCTL_REDAV_QUERY_VOLUME, Letter(u'E', 2), 1064).ok);

    Result dismount = Control(IOCTL_REDAV_DISMOUNT, Letter(u'E', 4), 0);
    EXPECT_TRUE(dismount.ok) << dismount.error;
    EXPECT_EQ(Control(IOCTL_REDAV_QUERY_VOLUME, Letter(u'E', 2), 1064).error,
              DWORD(ERROR_GEN_FAILURE));
}

TEST(ControlSocket, RegisteredEventOfTheClientIsSetByTheService)
{
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    DRVLOG_CONFIG config{0, 0, 1000, 0xFF, {}, 0xFFFFFFFF};
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_DRVLOG_SET_CONFIG, &config, sizeof(config), nullptr,
                                0, &returned, nullptr));
    std::vector<UCHAR> drain(1 << 16);
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_DRVLOG_READ_MEMLOG, nullptr, 0, drain.data(),
                                DWORD(drain.size()), &returned, nullptr));
    EXPECT_EQ(returned, drain.size());

    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ULONGLONG value = reinterpret_cast<uintptr_t>(event);
    ASSERT_TRUE(DeviceIoControl(device, IOCTL_DRVLOG_REGISTER_EVENT, &value, sizeof(value), nullptr,
                                0, &returned, nullptr));
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));

    // A mount of a container that does not exist makes the volume layer log its failure.
    EXPECT_FALSE(Control(IOCTL_REDAV_MOUNT_EXIST_DISK,
                         MountRequest(u'F', "C:/no/such/folder/x.lkb", 0, 1, 128), 0)
                     .ok);
    EXPECT_EQ(WaitForSingleObject(event, 10000), DWORD(WAIT_OBJECT_0));

    ASSERT_TRUE(DeviceIoControl(device, IOCTL_DRVLOG_READ_MEMLOG, nullptr, 0, drain.data(),
                                DWORD(drain.size()), &returned, nullptr));
    ULONG size = 0;
    std::memcpy(&size, drain.data() + 1, 4);
    ASSERT_GE(size, KLOG_ENTRY_FIXED_SIZE);
    // The mount ran on the driver's mount thread, in the system process.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(drain.data() + 1 + 96)), "System");
    EXPECT_EQ(drain[1 + 22], KLOG_LEVEL_ERROR);

    ULONGLONG none = 0;
    EXPECT_TRUE(DeviceIoControl(device, IOCTL_DRVLOG_REGISTER_EVENT, &none, sizeof(none), nullptr,
                                0, &returned, nullptr));
    CloseHandle(event);
    CloseHandle(device);
}

TEST(ControlSocket, AnyLocalUserMayConnect)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to act as another user";
    }
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(2);
        }
        HANDLE device = Open();
        if (device == INVALID_HANDLE_VALUE) {
            _exit(3);
        }
        DRVLOG_CONFIG config{};
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(device, IOCTL_DRVLOG_GET_CONFIG, nullptr, 0, &config,
                                  sizeof(config), &returned, nullptr);
        CloseHandle(device);
        _exit(ok && returned == sizeof(config) ? 0 : 4);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

int RawConnect()
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, SocketPath().c_str(), sizeof(address.sun_path) - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    control_wire::control_reply open{};
    if (recv(fd, &open, sizeof(open), MSG_WAITALL) != sizeof(open)) {
        close(fd);
        return -1;
    }
    return fd;
}

// What a well-behaved client sees after the misbehaving ones.
void ExpectServiceAnswers()
{
    std::vector<UCHAR> out;
    Result get = Control(IOCTL_DRVLOG_GET_CONFIG, {}, 24, &out);
    EXPECT_TRUE(get.ok) << get.error;
    EXPECT_EQ(get.returned, 24u);
}

TEST(ControlSocket, MisbehavingClientsLoseOnlyTheirConnection)
{
    control_wire::control_request header{};
    header.magic = control_wire::request_magic;
    header.kind = uint32_t(control_wire::request_kind::device_control);
    header.code = IOCTL_DRVLOG_GET_CONFIG;

    // Truncated header, then gone.
    int fd = RawConnect();
    ASSERT_GE(fd, 0);
    send(fd, &header, 10, MSG_NOSIGNAL);
    close(fd);

    // Oversized: refused with STATUS_INVALID_PARAMETER and the connection closed.
    fd = RawConnect();
    ASSERT_GE(fd, 0);
    control_wire::control_request big = header;
    big.input_length = control_wire::max_payload + 1;
    send(fd, &big, sizeof(big), MSG_NOSIGNAL);
    control_wire::control_reply reply{};
    ASSERT_EQ(recv(fd, &reply, sizeof(reply), MSG_WAITALL), ssize_t(sizeof(reply)));
    EXPECT_EQ(ULONG(reply.status), 0xC000000Du);
    char byte;
    EXPECT_EQ(recv(fd, &byte, 1, 0), 0); // closed by the service
    close(fd);

    // Bad magic, and a header that promises input it never sends.
    fd = RawConnect();
    ASSERT_GE(fd, 0);
    control_wire::control_request garbage{};
    std::memset(&garbage, 0xA5, sizeof(garbage));
    send(fd, &garbage, sizeof(garbage), MSG_NOSIGNAL);
    close(fd);
    fd = RawConnect();
    ASSERT_GE(fd, 0);
    control_wire::control_request promise = header;
    promise.code = IOCTL_DRVLOG_SET_CONFIG;
    promise.input_length = 24;
    send(fd, &promise, sizeof(promise), MSG_NOSIGNAL);
    send(fd, "abc", 3, MSG_NOSIGNAL);

    // A client process killed in the middle of its request.
    pid_t child = fork();
    if (child == 0) {
        int c = RawConnect();
        send(c, &promise, sizeof(promise), MSG_NOSIGNAL);
        send(c, "x", 1, MSG_NOSIGNAL);
        kill(getpid(), SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ExpectServiceAnswers();
    close(fd);

    // A flood of idle connections beyond the cap: the ones over it are closed at once, and the
    // service serves again once they go.
    std::vector<int> flood;
    for (int i = 0; i < 80; ++i) {
        int c = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, SocketPath().c_str(), sizeof(address.sun_path) - 1);
        if (connect(c, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            flood.push_back(c);
        } else {
            close(c);
        }
    }
    for (int c : flood) {
        close(c);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ExpectServiceAnswers();
}

// Reads what the child writes until `needle` shows up or the time is over.
bool WaitForOutput(int fd, const std::string& needle, std::string* text, int milliseconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (text->find(needle) == std::string::npos) {
        int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                           end - std::chrono::steady_clock::now())
                           .count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) {
            return false;
        }
        char chunk[512];
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n <= 0) {
            return false;
        }
        text->append(chunk, size_t(n));
    }
    return true;
}

TEST(ControlSocket, DrvlogFollowWakesOnNewRecords)
{
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(pipefd[1], 1);
        close(pipefd[0]);
        execl(DRVLOG_PATH, DRVLOG_PATH, "read", "--follow", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipefd[1]);
    std::string text;
    // The waiting records come first; give the reader time to register its event.
    WaitForOutput(pipefd[0], "Driver Start!", &text, 2000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(Control(IOCTL_REDAV_MOUNT_EXIST_DISK,
                         MountRequest(u'G', "C:/no/such/folder/y.lkb", 0, 1, 128), 0)
                     .ok);
    EXPECT_TRUE(WaitForOutput(pipefd[0], "ERROR", &text, 10000)) << text;
    kill(child, SIGTERM);
    int status = 0;
    waitpid(child, &status, 0);
    close(pipefd[0]);
}

} // namespace
