// The service against its own local users: the real zelvirdk runs as root over a private runtime
// folder, and two real unprivileged users (made for the run) try what a local user could do to
// it and to each other. Each test asserts the refusal and that the victim and the service are
// unharmed.
#include <gtest/gtest.h>

#include <windows.h>

#include <hostns/control_wire.h>
#include "klog_entry.h"
#include "redav_ioctl.h"
#include "test_users.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using lockbin_test::run_as;
using lockbin_test::test_user;
using steady = std::chrono::steady_clock;

lockbin_test::test_users* g_users = nullptr;

// The users live as long as the binary runs.
class Users : public ::testing::Environment {
public:
    void SetUp() override { g_users = new lockbin_test::test_users; }
    void TearDown() override
    {
        delete g_users;
        g_users = nullptr;
    }
};

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new Users);

int quiet(const std::string& command)
{
    return std::system(("( " + command + " ) >/dev/null 2>&1").c_str());
}

std::string read_text(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// One run of the service over a private folder that every user can reach.
class service_run {
public:
    explicit service_run(std::vector<std::string> args = {})
    {
        char base[] = "/tmp/lockbin-sec-XXXXXX";
        if (::mkdtemp(base) == nullptr)
            return;
        ::chmod(base, 0755);
        base_ = base;
        root_ = base_ + "/run";
        log_ = base_ + "/service.log";
        pid_ = ::fork();
        if (pid_ == 0) {
            int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::setenv("LOCKBIN_ROOT", root_.c_str(), 1);
            ::setenv("LOCKBIN_STATE", (base_ + "/state").c_str(), 1);
            ::unsetenv("LOCKBIN_DRIVES");
            std::vector<char*> argv{const_cast<char*>(ZELVIRDK_PATH)};
            for (auto& a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(ZELVIRDK_PATH, argv.data());
            ::_exit(127);
        }
        for (int i = 0; i < 200 && !running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~service_run()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            ::umount2((root_ + "/disks").c_str(), MNT_DETACH);
        }
        std::error_code ignored;
        if (!base_.empty())
            std::filesystem::remove_all(base_, ignored);
    }

    bool running() const { return read_text(log_).find("zelvirdk: running") != std::string::npos; }
    std::string log() const { return read_text(log_); }
    const std::string& root() const { return root_; }
    const std::string& base() const { return base_; }
    std::string socket() const { return root_ + "/control/%5CDevice%5CZELRedAv"; }

    // SIGTERM; the exit status, or -1 when the service was still there after `seconds`.
    int stop(int seconds)
    {
        ::kill(pid_, SIGTERM);
        auto deadline = steady::now() + std::chrono::seconds(seconds);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (steady::now() > deadline)
                return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    std::string base_, root_, log_;
    pid_t pid_ = -1;
};

// A raw client of the control socket, as the user-mode layer speaks to it.
struct answer {
    bool delivered = false;
    int32_t status = -1; // NTSTATUS
    std::vector<UCHAR> output;
};

int connect_to(const std::string& path)
{
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Connects and reads the open reply (within 5 s): -1 when the service did not answer.
int open_device(const std::string& path)
{
    int fd = connect_to(path);
    if (fd < 0)
        return -1;
    pollfd p{fd, POLLIN, 0};
    control_wire::control_reply open{};
    if (::poll(&p, 1, 5000) != 1 || ::recv(fd, &open, sizeof(open), MSG_WAITALL) != sizeof(open) ||
        open.status != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

answer call(int fd, ULONG code, const std::vector<UCHAR>& input, uint32_t output_length,
            const std::vector<int>& fds = {}, const std::vector<uint64_t>& values = {})
{
    control_wire::control_request header{};
    header.magic = control_wire::request_magic;
    header.kind = uint32_t(control_wire::request_kind::device_control);
    header.code = code;
    header.input_length = uint32_t(input.size());
    header.output_length = output_length;
    header.handle_count = uint32_t(fds.size());
    iovec iov{&header, sizeof(header)};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
    if (!fds.empty()) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    }
    answer a;
    if (::sendmsg(fd, &msg, MSG_NOSIGNAL) != ssize_t(sizeof(header)) ||
        (!values.empty() && !control_wire::send_all(fd, values.data(), values.size() * 8)) ||
        (!input.empty() && !control_wire::send_all(fd, input.data(), input.size())))
        return a;
    control_wire::control_reply reply{};
    if (!control_wire::recv_all(fd, &reply, sizeof(reply)))
        return a;
    a.output.resize(reply.output_length);
    if (reply.output_length > 0 && !control_wire::recv_all(fd, a.output.data(), a.output.size()))
        return a;
    a.delivered = true;
    a.status = reply.status;
    return a;
}

answer call_once(const std::string& socket, ULONG code, const std::vector<UCHAR>& input,
                 uint32_t output_length = 0)
{
    int fd = open_device(socket);
    if (fd < 0)
        return {};
    answer a = call(fd, code, input, output_length);
    ::close(fd);
    return a;
}

std::vector<UCHAR> mount_request(char16_t letter, const std::string& host_path, LONGLONG size)
{
    constexpr ULONG key_length = 128;
    std::vector<UCHAR> buffer(REDAV_MOUNT_KEY_OFFSET + key_length + 8);
    REDAV_MOUNT_REQUEST r{};
    r.VolumeLetter = letter;
    std::string dos = "C:" + host_path;
    for (size_t i = 0; i < dos.size() && i < REDAV_PATH_CHARS - 1; ++i)
        r.FilePath[i] = char16_t(dos[i] == '/' ? '\\' : dos[i]);
    r.DiskSize = size;
    r.IsEncrypt = 1;
    r.KeyLength = key_length;
    std::memcpy(buffer.data(), &r, REDAV_MOUNT_KEY_OFFSET);
    for (ULONG i = 0; i < key_length; ++i)
        buffer[REDAV_MOUNT_KEY_OFFSET + i] = UCHAR(0x5A ^ i);
    return buffer;
}

std::vector<UCHAR> dismount_request(char16_t letter)
{
    std::vector<UCHAR> buffer(sizeof(REDAV_DISMOUNT_REQUEST));
    REDAV_DISMOUNT_REQUEST r{letter, 1, 0};
    std::memcpy(buffer.data(), &r, sizeof(r));
    return buffer;
}

// The options of the mount at `point` in /proc/mounts, empty when nothing is mounted there.
std::string mount_options(const std::string& point)
{
    std::istringstream table(read_text("/proc/mounts"));
    std::string found;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string source, where, type, options;
        fields >> source >> where >> type >> options;
        if (where == point)
            found = options;
    }
    return found;
}

bool has_option(const std::string& options, const std::string& option)
{
    return ("," + options + ",").find("," + option + ",") != std::string::npos;
}

#define NEED_USERS()                                                                               \
    std::string why;                                                                               \
    if (g_users == nullptr || !g_users->usable(&why))                                              \
        GTEST_SKIP() << why;                                                                       \
    const test_user& attacker = g_users->attacker();                                               \
    const test_user& victim = g_users->victim();                                                   \
    (void)attacker;                                                                                \
    (void)victim

#define NEED_SERVICE(run)                                                                          \
    if (::access("/dev/fuse", R_OK | W_OK) != 0)                                                   \
        GTEST_SKIP() << "needs /dev/fuse";                                                         \
    ASSERT_TRUE((run).running()) << (run).log()

} // namespace

TEST(Security, WithoutRootTheServiceRefusesToStartUnlessToldToRunWithoutDisks)
{
    NEED_USERS();
    std::string base = "/tmp/lockbin-sec-start-" + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(base.c_str(), 0755), 0);
    ASSERT_EQ(::chown(base.c_str(), attacker.uid, attacker.gid), 0);
    // The output says what went wrong once; with --no-disks the service runs for tests.
    auto start = [&](const char* option) {
        return run_as(attacker, [&] {
            ::setenv("LOCKBIN_ROOT", (base + "/run").c_str(), 1);
            ::setenv("LOCKBIN_STATE", (base + "/state").c_str(), 1);
            int out = ::open((base + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, 2);
            if (option == nullptr)
                ::execl(ZELVIRDK_PATH, ZELVIRDK_PATH, static_cast<char*>(nullptr));
            pid_t service = ::fork();
            if (service == 0)
                ::execl(ZELVIRDK_PATH, ZELVIRDK_PATH, option, static_cast<char*>(nullptr));
            for (int i = 0; i < 200; ++i) {
                if (read_text(base + "/out").find("zelvirdk: running") != std::string::npos)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            ::kill(service, SIGTERM);
            int status = 0;
            ::waitpid(service, &status, 0);
            return WIFEXITED(status) ? WEXITSTATUS(status) + 10 : 99;
        });
    };
    EXPECT_EQ(start(nullptr), 1);
    std::string refused = read_text(base + "/out");
    EXPECT_NE(refused.find("needs root and /dev/fuse"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("running"), std::string::npos) << refused;
    EXPECT_EQ(start("--no-disks"), 10) << read_text(base + "/out");
    EXPECT_NE(read_text(base + "/out").find("zelvirdk: running"), std::string::npos);
    std::filesystem::remove_all(base);
}

TEST(Security, DeviceNodesInAUsersVaultCannotBeOpened)
{
    NEED_USERS();
    if (quiet("command -v mkntfs && command -v ntfs-3g") != 0)
        GTEST_SKIP() << "needs ntfs-3g and mkntfs";
    service_run service;
    NEED_SERVICE(service);
    const std::string container = attacker.home + "/nodes.lkb";
    const std::string block = service.root() + "/disks/ZELVirtualDiskT";
    const std::string drive = service.root() + "/drives/T";
    ASSERT_EQ(run_as(attacker,
                     [&] {
                         answer a = call_once(service.socket(), IOCTL_REDAV_MOUNT_NEW_DISK,
                                              mount_request(u'T', container, 8 << 20));
                         return a.delivered && a.status == 0 ? 0 : 1;
                     }),
              0)
        << service.log();

    // An NTFS image of the volume's size holding a world-writable node of a character device.
    struct stat st {};
    ASSERT_EQ(::stat(block.c_str(), &st), 0);
    std::string image = service.base() + "/image", staging = service.base() + "/staging";
    ASSERT_EQ(::mkdir(staging.c_str(), 0700), 0);
    ASSERT_EQ(quiet("truncate -s " + std::to_string(st.st_size) + " " + image +
                    " && mkntfs -F -q -f " + image + " && ntfs-3g " + image + " " + staging +
                    " && mknod " + staging + "/node c 1 3 && chmod 666 " + staging +
                    "/node; umount " + staging),
              0);
    ::chmod(image.c_str(), 0644);

    // The user writes it into the block file; the service mounts what it finds there.
    ASSERT_EQ(run_as(attacker,
                     [&] {
                         return quiet("dd if=" + image + " of=" + block +
                                      " bs=1M conv=notrunc,fsync");
                     }),
              0);
    std::string options;
    for (int i = 0; i < 200 && (options = mount_options(drive)).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_FALSE(options.empty()) << service.log();
    EXPECT_TRUE(has_option(options, "nodev")) << options;
    EXPECT_TRUE(has_option(options, "nosuid")) << options;

    EXPECT_EQ(run_as(attacker,
                     [&] {
                         struct stat node {};
                         if (::stat((drive + "/node").c_str(), &node) != 0 ||
                             !S_ISCHR(node.st_mode))
                             return 2; // the node itself must be there to prove anything
                         int fd = ::open((drive + "/node").c_str(), O_RDWR);
                         return fd < 0 && errno == EACCES ? 0 : 1;
                     }),
              0);
    // The NTFS parser runs as the owner, not as root.
    std::string owner =
        "Uid:\t" + std::to_string(attacker.uid) + "\t" + std::to_string(attacker.uid) + "\t";
    bool parser_is_owners = false;
    pid_t parser = -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string cmdline = read_text(entry.path().string() + "/cmdline");
        if (cmdline.rfind("ntfs-3g", 0) == 0 && cmdline.find(drive) != std::string::npos) {
            parser_is_owners =
                read_text(entry.path().string() + "/status").find(owner) != std::string::npos;
            parser = pid_t(std::stol(entry.path().filename().string()));
        }
    }
    EXPECT_TRUE(parser_is_owners);

    // Which letter is taken is everyone's to see; where the volume is on the host, its owner's.
    const std::string link = service.root() + "/volumes/" + std::to_string(attacker.uid) +
                             "/%5CDevice%5CZELVirtualDisk%5CZELVirtualDiskT";
    auto sees = [&](const test_user& user) {
        return run_as(user, [&] {
            char target[512] = {};
            bool letter = ::readlink((service.root() + "/GLOBAL?\?/T:").c_str(), target,
                                     sizeof target - 1) > 0;
            ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            return (letter ? 1 : 0) + (n > 0 && std::string(target, size_t(n)) == drive ? 2 : 0);
        });
    };
    EXPECT_EQ(sees(attacker), 3);
    EXPECT_EQ(sees(victim), 1);

    // The owner still has the vault's files.
    EXPECT_EQ(run_as(attacker,
                     [&] {
                         std::ofstream(drive + "/kept") << "mine";
                         return read_text(drive + "/kept") == "mine" ? 0 : 1;
                     }),
              0);
    // The owner may stop the parser that runs as the owner; the service still stops in time.
    ASSERT_GT(parser, 0);
    EXPECT_EQ(run_as(attacker, [&] { return ::kill(parser, SIGSTOP); }), 0);
    auto began = steady::now();
    EXPECT_EQ(service.stop(5), 0) << service.log();
    EXPECT_LT(steady::now() - began, std::chrono::seconds(5));
}

TEST(Security, SessionSetUpRunsWithTheUsersRightsInFoldersTheServiceMade)
{
    NEED_USERS();
    service_run service;
    NEED_SERVICE(service);
    const std::string sessions = service.root() + "/sessions";
    const std::string mine = sessions + "/" + std::to_string(attacker.uid);
    const std::string theirs = sessions + "/" + std::to_string(victim.uid);
    // Root's things the attacker aims at.
    const std::string vault = service.base() + "/rootonly";
    ASSERT_EQ(::mkdir(vault.c_str(), 0700), 0);
    std::ofstream(vault + "/secret") << "Q: /leaked\n";
    std::ofstream(vault + "/precious") << "keep me";

    struct stat st {};
    ASSERT_EQ(::stat(sessions.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    // Squatting: the victim's folder cannot be made by someone else, and one that stands there
    // from before (here: left open, holding the attacker's D:) is made anew.
    EXPECT_EQ(run_as(attacker, [&] { return ::mkdir(theirs.c_str(), 0777) != 0 ? 0 : 1; }), 0);
    ASSERT_EQ(::mkdir(theirs.c_str(), 0777), 0);
    ::chmod(theirs.c_str(), 0777);
    ASSERT_EQ(::chown(theirs.c_str(), victim.uid, victim.gid), 0);
    ASSERT_EQ(::mkdir((theirs + "/DosDevices").c_str(), 0777), 0);
    ASSERT_EQ(::symlink("\\??\\C:\\tmp", (theirs + "/DosDevices/D:").c_str()), 0);
    ASSERT_EQ(::lchown((theirs + "/DosDevices").c_str(), victim.uid, victim.gid), 0);
    ASSERT_EQ(run_as(victim,
                     [&] {
                         int fd = open_device(service.socket());
                         ::close(fd);
                         return fd >= 0 ? 0 : 1;
                     }),
              0);
    ASSERT_EQ(::lstat(theirs.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, victim.uid);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    char target[256] = {};
    ::readlink((theirs + "/DosDevices/D:").c_str(), target, sizeof target - 1);
    EXPECT_NE(std::string(target), "\\??\\C:\\tmp") << "the squatter's D: survived";

    // A user's first definition, before any connection of that user: the user-mode layer has
    // the service make the session folder.
    EXPECT_EQ(run_as(attacker,
                     [&] {
                         ::setenv("LOCKBIN_ROOT", service.root().c_str(), 1);
                         if (!DefineDosDeviceW(0, u"K:", u"C:\\tmp"))
                             return 1;
                         char16_t target[64] = {};
                         return QueryDosDeviceW(u"K:", target, 64) > 0 &&
                                        std::u16string(target) == u"\\??\\C:\\tmp"
                                    ? 0
                                    : 2;
                     }),
              0);

    // The attacker's own session: each round forgets the marker so that the set-up runs again,
    // swaps the service's files for traps, and connects; the connection must be served at once.
    auto round = [&](const std::string& setup) {
        return run_as(attacker, [&] {
            ::unlink((mine + "/defaults").c_str());
            if (quiet("cd " + attacker.home + " && mkdir -p .config/lockbin && " + setup) != 0)
                return 2;
            auto began = steady::now();
            int fd = open_device(service.socket());
            if (fd < 0)
                return 1;
            answer a = call(fd, IOCTL_DRVLOG_GET_CONFIG, {}, sizeof(DRVLOG_CONFIG));
            ::close(fd);
            return a.delivered && steady::now() - began < std::chrono::seconds(5) ? 0 : 3;
        });
    };
    ASSERT_EQ(round("true"), 0);
    EXPECT_EQ(round("ln -sf " + vault + "/secret .config/lockbin/drives && rm -rf " + mine +
                    "/DosDevices && ln -s " + vault + " " + mine + "/DosDevices"),
              0);
    EXPECT_EQ(round("rm -f " + mine + "/DosDevices .config/lockbin/drives && ln -s /dev/zero " +
                    ".config/lockbin/drives"),
              0);
    // A FIFO as the drives file held the set-up open while the marker became a link to a file
    // of root's; the writer's end is opened once the link is in place.
    EXPECT_EQ(run_as(attacker,
                     [&] {
                         std::string drives = attacker.home + "/.config/lockbin/drives";
                         ::unlink((mine + "/defaults").c_str());
                         ::unlink(drives.c_str());
                         if (::mkfifo(drives.c_str(), 0600) != 0)
                             return 2;
                         int fd = -1;
                         std::thread client([&] { fd = open_device(service.socket()); });
                         std::this_thread::sleep_for(std::chrono::milliseconds(300));
                         ::unlink((mine + "/defaults").c_str());
                         int linked =
                             ::symlink((vault + "/precious").c_str(), (mine + "/defaults").c_str());
                         int writer = ::open(drives.c_str(), O_WRONLY | O_NONBLOCK);
                         if (writer >= 0)
                             ::close(writer);
                         client.join();
                         ::close(fd);
                         ::unlink(drives.c_str());
                         return fd >= 0 && linked == 0 ? 0 : 1;
                     }),
              0);
    ASSERT_EQ(round("true"), 0);

    // Nothing of root's was read, made or changed.
    EXPECT_EQ(read_text(vault + "/precious"), "keep me");
    EXPECT_EQ(read_text(vault + "/secret"), "Q: /leaked\n");
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(vault))
        entries += e.path().filename() != "secret" && e.path().filename() != "precious";
    EXPECT_EQ(entries, 0u);
    EXPECT_LT(::readlink((mine + "/DosDevices/Q:").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(service.stop(10), 0);
}

TEST(Security, AFifoGivenAsAnImageIsRefusedWithoutHoldingUpOtherMounts)
{
    NEED_USERS();
    service_run service;
    NEED_SERVICE(service);
    const std::string fifo = attacker.home + "/disc.iso";
    ASSERT_EQ(run_as(attacker, [&] { return ::mkfifo(fifo.c_str(), 0644); }), 0);
    auto began = steady::now();
    EXPECT_EQ(run_as(attacker,
                     [&] {
                         answer a = call_once(service.socket(), IOCTL_REDAV_MOUNT_CDROM,
                                              mount_request(u'R', fifo, 0));
                         return a.delivered && a.status != 0 ? 0 : 1;
                     }),
              0);
    EXPECT_LT(steady::now() - began, std::chrono::seconds(5));
    // The victim's mount goes through.
    EXPECT_EQ(run_as(
                  victim,
                  [&] {
                      std::string path = victim.home + "/v.lkb";
                      answer a = call_once(service.socket(), IOCTL_REDAV_MOUNT_NEW_DISK,
                                           mount_request(u'V', path, 2 << 20));
                      answer d =
                          call_once(service.socket(), IOCTL_REDAV_DISMOUNT, dismount_request(u'V'));
                      return a.status == 0 && d.status == 0 ? 0 : 1;
                  },
                  10),
              0);
    EXPECT_EQ(service.stop(10), 0);
}

TEST(Security, ConnectionCapsAndUnfinishedMessagesCostOnlyTheirUser)
{
    NEED_USERS();
    // Root sets the cap.
    service_run service({"--user-connections", "4"});
    NEED_SERVICE(service);
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    // The attacker holds every connection it may, asks for more, and starts a message it never
    // finishes; then reports what it saw through the pipe and keeps the connections open.
    pid_t holder = ::fork();
    if (holder == 0) {
        ::close(pipe_fds[0]);
        if (!lockbin_test::become(attacker))
            ::_exit(1);
        std::vector<int> held;
        for (int i = 0; i < 4; ++i)
            held.push_back(open_device(service.socket()));
        char over = open_device(service.socket()) < 0 ? 'y' : 'n';
        control_wire::control_request half{};
        half.magic = control_wire::request_magic;
        ::send(held[0], &half, 10, MSG_NOSIGNAL);
        pollfd p{held[0], POLLIN, 0};
        auto began = steady::now();
        char closed = ::poll(&p, 1, 8000) == 1 && ::recv(held[0], &p, 1, 0) == 0 &&
                              steady::now() - began < std::chrono::seconds(6)
                          ? 'y'
                          : 'n';
        char report[2] = {over, closed};
        if (::write(pipe_fds[1], report, 2) != 2)
            ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    char report[2] = {};
    ASSERT_EQ(::read(pipe_fds[0], report, 2), 2);
    ::close(pipe_fds[0]);
    EXPECT_EQ(report[0], 'y') << "a fifth connection of the attacker was served";
    EXPECT_EQ(report[1], 'y') << "a message left half-way kept its connection";
    // While the attacker holds its share, the victim and root are served.
    EXPECT_EQ(run_as(victim,
                     [&] {
                         return call_once(service.socket(), IOCTL_DRVLOG_GET_CONFIG, {},
                                          sizeof(DRVLOG_CONFIG))
                                        .delivered
                                    ? 0
                                    : 1;
                     }),
              0);
    std::vector<int> roots;
    for (int i = 0; i < 6; ++i)
        roots.push_back(open_device(service.socket()));
    for (int fd : roots) {
        EXPECT_GE(fd, 0);
        ::close(fd);
    }
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(service.stop(10), 0);
}

TEST(Security, OnlyEventfdsAreTakenAndTheServiceStopsWhateverClientsDo)
{
    NEED_USERS();
    service_run service;
    NEED_SERVICE(service);
    constexpr int32_t invalid_handle = int32_t(0xC0000008); // STATUS_INVALID_HANDLE
    uint64_t value = 0x1234;
    std::vector<UCHAR> input(8);
    std::memcpy(input.data(), &value, 8);
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    pid_t holder = ::fork();
    if (holder == 0) {
        ::close(pipe_fds[0]);
        if (!lockbin_test::become(attacker))
            ::_exit(1);
        // A full pipe is no event.
        int fd = open_device(service.socket());
        int not_event[2];
        if (fd < 0 || ::pipe(not_event) != 0)
            ::_exit(1);
        ::fcntl(not_event[1], F_SETFL, O_NONBLOCK);
        while (::write(not_event[1], "x", 1) == 1) {
        }
        ::fcntl(not_event[1], F_SETFL, 0);
        answer refused = call(fd, IOCTL_DRVLOG_REGISTER_EVENT, input, 0, {not_event[1]}, {value});
        // Connections that stay idle or never finish their message.
        int idle = open_device(service.socket());
        int half = open_device(service.socket());
        ::send(half, "LBRQ", 4, MSG_NOSIGNAL);
        char report = char(refused.delivered && refused.status == invalid_handle && idle >= 0);
        if (::write(pipe_fds[1], &report, 1) != 1)
            ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    char report = 0;
    ASSERT_EQ(::read(pipe_fds[0], &report, 1), 1);
    ::close(pipe_fds[0]);
    EXPECT_TRUE(report) << "a pipe was taken as an event";

    // An eventfd whose counter is full (and blocking): signalling it must not hold the service.
    int fd = open_device(service.socket());
    ASSERT_GE(fd, 0);
    int full = ::eventfd(0, 0);
    uint64_t most = 0xfffffffffffffffeull;
    ASSERT_EQ(::write(full, &most, 8), 8);
    EXPECT_EQ(call(fd, IOCTL_DRVLOG_REGISTER_EVENT, input, 0, {full}, {value}).status, 0);
    // Something to log: a mount of a container that does not exist.
    call(fd, IOCTL_REDAV_MOUNT_EXIST_DISK, mount_request(u'F', "/no/such/x.lkb", 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    auto began = steady::now();
    EXPECT_EQ(service.stop(5), 0) << service.log();
    EXPECT_LT(steady::now() - began, std::chrono::seconds(5));
    ::close(fd);
    ::close(full);
    ::kill(holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
}

TEST(Security, GroupsAreTheConnectingProcesssAtConnect)
{
    NEED_USERS();
    service_run service;
    NEED_SERVICE(service);
    // A folder only the victim's group may write in.
    const std::string shared = service.base() + "/group-only";
    ASSERT_EQ(::mkdir(shared.c_str(), 0770), 0);
    ASSERT_EQ(::chown(shared.c_str(), 0, victim.gid), 0);
    ::chmod(shared.c_str(), 0770);
    auto mount_there = [&](int fd, const std::string& name, char16_t letter) {
        answer a = call(fd, IOCTL_REDAV_MOUNT_NEW_DISK,
                        mount_request(letter, shared + "/" + name, 2 << 20), 0);
        if (a.status == 0)
            call(fd, IOCTL_REDAV_DISMOUNT, dismount_request(letter), 0);
        return a.delivered && a.status == 0;
    };

    // A process that joins the group after connecting (here it kept root as its saved uid to do
    // so; a reused pid has the same effect) while its first session set-up waits on a FIFO.
    const std::string drives = attacker.home + "/.config/lockbin/drives";
    ASSERT_EQ(run_as(attacker,
                     [&] {
                         quiet("mkdir -p " + attacker.home + "/.config/lockbin");
                         ::unlink(drives.c_str());
                         return ::mkfifo(drives.c_str(), 0600);
                     }),
              0);
    pid_t late = ::fork();
    if (late == 0) {
        if (::setgroups(1, &attacker.gid) != 0 ||
            ::setresgid(attacker.gid, attacker.gid, attacker.gid) != 0 ||
            ::setresuid(attacker.uid, attacker.uid, 0) != 0)
            ::_exit(2);
        ::setenv("HOME", attacker.home.c_str(), 1);
        int fd = connect_to(service.socket());
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        gid_t joined[] = {attacker.gid, victim.gid};
        if (fd < 0 || ::setresuid(-1, 0, -1) != 0 || ::setgroups(2, joined) != 0 ||
            ::setresuid(-1, attacker.uid, -1) != 0)
            ::_exit(2);
        int writer = ::open(drives.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
        control_wire::control_reply open{};
        if (::recv(fd, &open, sizeof(open), MSG_WAITALL) != sizeof(open))
            ::_exit(2);
        ::_exit(mount_there(fd, "late.lkb", u'H') ? 1 : 0);
    }
    int status = 0;
    ::waitpid(late, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    // A member of the group at connect may: the refusal above was for the group alone.
    pid_t member = ::fork();
    if (member == 0) {
        gid_t both[] = {attacker.gid, victim.gid};
        if (::setgroups(2, both) != 0 || ::setresgid(attacker.gid, attacker.gid, attacker.gid) ||
            ::setresuid(attacker.uid, attacker.uid, attacker.uid) != 0)
            ::_exit(2);
        int fd = open_device(service.socket());
        ::_exit(fd >= 0 && mount_there(fd, "member.lkb", u'G') ? 0 : 1);
    }
    ::waitpid(member, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << service.log();

    struct stat st {};
    EXPECT_NE(::stat((shared + "/late.lkb").c_str(), &st), 0);
    ::unlink(drives.c_str());
    EXPECT_EQ(service.stop(10), 0);
}

namespace {

constexpr int32_t access_denied = int32_t(0xC0000022);
constexpr int32_t quota_exceeded = int32_t(0xC0000044);

std::vector<UCHAR> letter_request(char16_t letter, size_t size)
{
    std::vector<UCHAR> buffer(size, 0);
    std::memcpy(buffer.data(), &letter, 2);
    return buffer;
}

std::vector<UCHAR> state_request(char16_t letter, ULONG state)
{
    REDAV_RW_STATUS_REQUEST r{};
    r.VolumeLetter = letter;
    r.VolumeRWStatus = state;
    std::vector<UCHAR> buffer(sizeof(r));
    std::memcpy(buffer.data(), &r, sizeof(r));
    return buffer;
}

std::vector<UCHAR> config_request(ULONG trace, ULONGLONG max_records)
{
    DRVLOG_CONFIG c{};
    c.Trace = trace;
    c.MemLogMaxCnt = max_records;
    c.LogLevel = 0xFF;
    c.LogType = 0xFFFFFFFF;
    std::vector<UCHAR> buffer(sizeof(c));
    std::memcpy(buffer.data(), &c, sizeof(c));
    return buffer;
}

DRVLOG_CONFIG config_of(const answer& a)
{
    DRVLOG_CONFIG c{};
    if (a.output.size() == sizeof(c))
        std::memcpy(&c, a.output.data(), sizeof(c));
    return c;
}

// The messages of a memory-log read, as UTF-8 (the records are ASCII).
std::vector<std::string> log_messages(const answer& a)
{
    std::vector<std::string> out;
    size_t at = 1;
    while (at + KLOG_ENTRY_FIXED_SIZE <= a.output.size()) {
        uint32_t size = 0;
        std::memcpy(&size, a.output.data() + at, 4);
        if (size < KLOG_ENTRY_FIXED_SIZE || at + size > a.output.size())
            break;
        std::string text;
        for (size_t i = at + 144; i + 1 < at + size; i += 2) {
            char16_t c;
            std::memcpy(&c, a.output.data() + i, 2);
            if (c == 0)
                break;
            text.push_back(char(c));
        }
        out.push_back(text);
        at += size;
    }
    return out;
}

bool any_has(const std::vector<std::string>& messages, const std::string& part)
{
    for (const auto& m : messages)
        if (m.find(part) != std::string::npos)
            return true;
    return false;
}

} // namespace

TEST(Security, AnotherUsersVolumeShowsOnlyItsLetterAndSizeAndCannotBeTouched)
{
    NEED_USERS();
    service_run service;
    NEED_SERVICE(service);
    const std::string container = victim.home + "/v.lkb";
    const std::string block = service.root() + "/disks/ZELVirtualDiskT";
    const std::string data = "the victim's file, being written";
    ASSERT_EQ(run_as(victim,
                     [&] {
                         answer a = call_once(service.socket(), IOCTL_REDAV_MOUNT_NEW_DISK,
                                              mount_request(u'T', container, 2 << 20));
                         int fd = ::open(block.c_str(), O_WRONLY);
                         bool wrote = fd >= 0 && ::pwrite(fd, data.data(), data.size(), 8192) ==
                                                     ssize_t(data.size());
                         if (fd >= 0)
                             ::close(fd);
                         return a.status == 0 && wrote ? 0 : 1;
                     }),
              0)
        << service.log();

    // Each refusal sets a bit: the exit status says which one did not happen.
    int attacker_saw = run_as(attacker, [&] {
        int wrong = 0;
        answer q = call_once(service.socket(), IOCTL_REDAV_QUERY_VOLUME, letter_request(u'T', 2),
                             sizeof(REDAV_VOLUME_INFO));
        REDAV_VOLUME_INFO info{};
        if (q.output.size() == sizeof(info))
            std::memcpy(&info, q.output.data(), sizeof(info));
        if (q.status != 0 || info.FilePath[0] != 0 || info.FileSize != (2 << 20))
            wrong |= 1;
        auto hidden = letter_request(u'T', sizeof(REDAV_HIDE_SECTOR_DATA));
        std::memcpy(hidden.data() + 2, "BOBWASHERE", 10);
        if (call_once(service.socket(), IOCTL_REDAV_SET_HIDE_SECTOR, hidden).status !=
            access_denied)
            wrong |= 2;
        if (call_once(service.socket(), IOCTL_REDAV_QUERY_HIDE_SECTOR, letter_request(u'T', 2),
                      sizeof(REDAV_HIDE_SECTOR_DATA))
                .status != access_denied)
            wrong |= 4;
        if (call_once(service.socket(), IOCTL_REDAV_SET_VOLUME_RW_STATUS, state_request(u'T', 2))
                .status != access_denied)
            wrong |= 8;
        if (call_once(service.socket(), IOCTL_REDAV_DISMOUNT, dismount_request(u'T')).status !=
            access_denied)
            wrong |= 16;
        return wrong;
    });
    EXPECT_EQ(attacker_saw, 0) << service.log();
    EXPECT_NE(service.log().find("[redav] Volume belongs to another user!(VolumeLetter=T)"),
              std::string::npos);

    // The victim's volume is as it was: mounted, writable, its data and container untouched.
    EXPECT_EQ(run_as(victim,
                     [&] {
                         std::string back(data.size(), '\0');
                         int fd = ::open(block.c_str(), O_RDWR);
                         bool read = fd >= 0 && ::pread(fd, back.data(), back.size(), 8192) ==
                                                    ssize_t(back.size());
                         if (fd >= 0)
                             ::close(fd);
                         answer q = call_once(service.socket(), IOCTL_REDAV_QUERY_VOLUME,
                                              letter_request(u'T', 2), sizeof(REDAV_VOLUME_INFO));
                         REDAV_VOLUME_INFO info{};
                         if (q.output.size() == sizeof(info))
                             std::memcpy(&info, q.output.data(), sizeof(info));
                         std::u16string path(info.FilePath);
                         return read && back == data && path.ends_with(u"\\v.lkb") &&
                                        info.VolumeRWStatus == 0
                                    ? 0
                                    : 1;
                     }),
              0);
    std::string header(512, '\1');
    {
        std::ifstream in(container, std::ios::binary);
        in.read(header.data(), 512);
    }
    EXPECT_EQ(header, std::string(512, '\0')) << "another user wrote the hidden sector";
    EXPECT_EQ(run_as(victim,
                     [&] {
                         return call_once(service.socket(), IOCTL_REDAV_DISMOUNT,
                                          dismount_request(u'T'))
                             .status;
                     }),
              0);
    EXPECT_EQ(service.stop(10), 0);
}

TEST(Security, UsersReadAndFollowOnlyTheirOwnLogRecordsAndOnlyRootChangesTheLog)
{
    NEED_USERS();
    service_run service;
    NEED_SERVICE(service);
    // A record of each user's own: an access state that does not exist, at a letter of theirs.
    auto leave_record = [&](char16_t letter) {
        return call_once(service.socket(), IOCTL_REDAV_SET_VOLUME_RW_STATUS,
                         state_request(letter, 3))
            .delivered;
    };
    auto drain = [&] {
        return log_messages(call_once(service.socket(), IOCTL_DRVLOG_READ_MEMLOG, {}, 1 << 16));
    };
    ASSERT_EQ(run_as(victim, [&] { return leave_record(u'Q') ? 0 : 1; }), 0);
    EXPECT_EQ(run_as(attacker,
                     [&] {
                         if (!leave_record(u'P'))
                             return 1;
                         auto seen = drain();
                         if (any_has(seen, "VolumeLetter=Q"))
                             return 2; // the victim's record
                         if (!any_has(seen, "VolumeLetter=P"))
                             return 3; // the attacker's own must be readable
                         // Settings are root's: neither silence nor an unbounded log.
                         answer set = call_once(service.socket(), IOCTL_DRVLOG_SET_CONFIG,
                                                config_request(0, 1ull << 40));
                         return set.status == access_denied ? 0 : 4;
                     }),
              0);
    DRVLOG_CONFIG config =
        config_of(call_once(service.socket(), IOCTL_DRVLOG_GET_CONFIG, {}, sizeof(DRVLOG_CONFIG)));
    EXPECT_EQ(config.Trace, 1u);
    EXPECT_EQ(config.MemLogMaxCnt, 1000u);
    // Root reads everyone's: the victim's record waited for it.
    EXPECT_TRUE(any_has(drain(), "VolumeLetter=Q"));
    EXPECT_EQ(
        call_once(service.socket(), IOCTL_DRVLOG_SET_CONFIG, config_request(1, 1ull << 40)).status,
        0);
    config =
        config_of(call_once(service.socket(), IOCTL_DRVLOG_GET_CONFIG, {}, sizeof(DRVLOG_CONFIG)));
    EXPECT_EQ(config.MemLogMaxCnt, 100000u) << "the record cap is hard";

    // The victim follows the log with an eventfd; the attacker's null event cannot unhook it, and
    // the attacker's records do not wake it.
    int registered[2], go[2];
    ASSERT_EQ(::pipe(registered), 0);
    ASSERT_EQ(::pipe(go), 0);
    pid_t follower = ::fork();
    if (follower == 0) {
        if (!lockbin_test::become(victim))
            ::_exit(1);
        int fd = open_device(service.socket());
        int event = ::eventfd(0, EFD_NONBLOCK);
        uint64_t value = 0x77;
        std::vector<UCHAR> input(8);
        std::memcpy(input.data(), &value, 8);
        if (fd < 0 || call(fd, IOCTL_DRVLOG_REGISTER_EVENT, input, 0, {event}, {value}).status != 0)
            ::_exit(2);
        char byte = 'r';
        if (::write(registered[1], &byte, 1) != 1 || ::read(go[0], &byte, 1) != 1)
            ::_exit(3);
        uint64_t count = 0;
        if (::read(event, &count, 8) == 8)
            ::_exit(4); // woken by another user's record
        if (!leave_record(u'Q'))
            ::_exit(5);
        pollfd p{event, POLLIN, 0};
        ::_exit(::poll(&p, 1, 3000) == 1 ? 0 : 6);
    }
    char byte = 0;
    ASSERT_EQ(::read(registered[0], &byte, 1), 1);
    EXPECT_EQ(run_as(attacker,
                     [&] {
                         int fd = open_device(service.socket());
                         std::vector<UCHAR> none(8, 0);
                         answer a = call(fd, IOCTL_DRVLOG_REGISTER_EVENT, none, 0);
                         ::close(fd);
                         return a.status == 0 && leave_record(u'P') ? 0 : 1;
                     }),
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(::write(go[1], &byte, 1), 1);
    int status = 0;
    ::waitpid(follower, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "follower ended with " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    for (int fd : {registered[0], registered[1], go[0], go[1]})
        ::close(fd);
    EXPECT_EQ(service.stop(10), 0);
}

TEST(Security, OneUserCannotTakeEveryFreeLetter)
{
    NEED_USERS();
    service_run service({"--user-volumes", "3"}); // root sets the cap
    NEED_SERVICE(service);
    auto mount = [&](const test_user& user, char16_t letter) {
        return call_once(service.socket(), IOCTL_REDAV_MOUNT_NEW_DISK,
                         mount_request(letter, user.home + "/" + char(letter) + ".lkb", 1 << 20))
            .status;
    };
    EXPECT_EQ(run_as(attacker,
                     [&] {
                         int taken = 0;
                         for (char16_t letter = u'Z'; letter >= u'D'; --letter) {
                             int32_t status = mount(attacker, letter);
                             if (status == quota_exceeded)
                                 break;
                             if (status != 0)
                                 return 100;
                             ++taken;
                         }
                         return taken;
                     }),
              3)
        << service.log();
    EXPECT_NE(service.log().find("[redav] Too many volumes for one user!"), std::string::npos);
    // The letters left are still there for the others; root is not counted.
    EXPECT_EQ(run_as(victim, [&] { return mount(victim, u'M') == 0 ? 0 : 1; }), 0);
    const std::string root_folder = service.base() + "/rootvols";
    ASSERT_EQ(::mkdir(root_folder.c_str(), 0700), 0);
    for (char16_t letter : {u'E', u'F', u'G', u'H'})
        EXPECT_EQ(
            call_once(service.socket(), IOCTL_REDAV_MOUNT_NEW_DISK,
                      mount_request(letter, root_folder + "/" + char(letter) + ".lkb", 1 << 20))
                .status,
            0);
    EXPECT_EQ(service.stop(10), 0);
}
