// The whole service in the test process over a temporary runtime folder (ntos::start_service, as
// the service host starts it), and clients in processes of their own that
// talk to the control socket as the manager's device handles do, with the identity they are
// given. Needs root and /dev/fuse; vault_service::usable says why not.
#pragma once

#include "volume_test_helper.h"

#include <hostns/control_wire.h>
#include <hostns/hostns.h>
#include <ntos_host.h>
#include <ntos_layer.h>
#include <ntos_service.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace vault_test {

using lockbin_test::drain_log;
using lockbin_test::log_has;

constexpr uid_t kUser = 65534; // nobody: a user without any rights of its own
constexpr gid_t kGroup = 65534;

inline int run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// The answer of one control request.
struct reply {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    uint64_t information = 0;
    std::vector<UCHAR> output;
    bool delivered = false; // the client got a reply at all
};

class vault_service {
public:
    static vault_service& get()
    {
        static vault_service s;
        return s;
    }

    // False (with the reason) where the service cannot run with its file systems.
    bool usable(std::string* why)
    {
        if (::geteuid() != 0)
            *why = "needs root: the service mounts file systems and acts as other users";
        else if (::access("/dev/fuse", R_OK | W_OK) != 0)
            *why = "needs /dev/fuse";
        else if (run("command -v ntfs-3g") != 0 || run("command -v mkntfs") != 0)
            *why = "needs ntfs-3g and mkntfs (package ntfs-3g)";
        else if (!started_ && !start())
            *why = "the service did not start: " + failure_;
        else
            return true;
        return false;
    }

    const std::string& root() const { return root_; }
    const std::string& base() const { return base_; }
    bool started() const { return started_; }
    std::string work() const { return work_; }
    // Where the service shows a volume: its block file, and its drive's mount point.
    std::string disk_file(char16_t letter) const
    {
        return root_ + "/disks/ZELVirtualDisk" + char(letter);
    }
    std::string mount_point(char16_t letter) const
    {
        const char* drives = std::getenv("LOCKBIN_DRIVES");
        return (drives && *drives == '/' ? std::string(drives) : root_ + "/drives") + "/" +
               char(letter);
    }

    // Stops the service as at shutdown (clients first, then the driver) and starts it again;
    // false when the driver left pool blocks or did not come back.
    bool restart_driver()
    {
        bool clean = ntos::stop_service();
        ok_ = NT_SUCCESS(ntos::start_service(config()));
        return clean && ok_;
    }

    // Stops the service as at shutdown; the process's last test environment calls it.
    void stop()
    {
        if (!ok_)
            return;
        ok_ = false;
        ntos::stop_service();
        if (!base_.empty())
            run("rm -rf '" + base_ + "'");
    }

private:
    vault_service() = default;

    bool start()
    {
        started_ = true;
        char name[] = "/var/tmp/lockbin-vault-XXXXXX";
        if (!::mkdtemp(name)) {
            failure_ = "no temporary folder";
            return false;
        }
        ::chmod(name, 0755);
        base_ = name;
        work_ = base_ + "/work";
        ::mkdir(work_.c_str(), 0755);
        ntos::service_part failed = ntos::service_part::none;
        if (!NT_SUCCESS(ntos::start_service(config(), &failed))) {
            failure_ = "part " + std::to_string(int(failed)) + " of the service";
            return false;
        }
        root_ = ntos::runtime_folder();
        ok_ = true;
        return true;
    }

    ntos::service_config config() const
    {
        ntos::service_config c;
        c.runtime = base_ + "/run";
        c.state = base_ + "/state";
        c.driver_name = u"zelvirdk";
        c.driver_entry = DriverEntry;
        c.pool_tags = {REDAV_VOLUME_POOL_TAG, KLOG_TRACE_POOL_TAG};
        return c;
    }

    bool started_ = false;
    bool ok_ = false;
    std::string failure_;
    std::string base_, work_, root_;
};

// A client process: connects to the control device's socket as uid/gid (root when uid is 0),
// sends one device-control request and hands the reply back through a pipe. The child does only
// system calls on buffers made before the fork.
// Stops the service after the last test, before the layer's own statics go.
class vault_environment : public ::testing::Environment {
public:
    void TearDown() override { vault_service::get().stop(); }
};

inline reply control(ULONG code, const std::vector<UCHAR>& input, ULONG output_length,
                     uid_t uid = 0, gid_t gid = 0)
{
    const std::string socket_path = vault_service::get().root() + "/" +
                                    control_wire::socket_folder + "/" +
                                    control_wire::socket_name("\\Device\\ZELRedAv");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, socket_path.c_str(),
                std::min(socket_path.size() + 1, sizeof(address.sun_path) - 1));
    std::vector<UCHAR> message(sizeof(control_wire::control_request) + input.size());
    control_wire::control_request request{};
    request.magic = control_wire::request_magic;
    request.kind = uint32_t(control_wire::request_kind::device_control);
    request.code = code;
    request.input_length = uint32_t(input.size());
    request.output_length = output_length;
    std::memcpy(message.data(), &request, sizeof(request));
    if (!input.empty())
        std::memcpy(message.data() + sizeof(request), input.data(), input.size());
    std::vector<UCHAR> answer(sizeof(control_wire::control_reply) + output_length);

    int pipe_fds[2];
    reply r;
    if (::pipe(pipe_fds) != 0)
        return r;
    pid_t child = ::fork();
    if (child == 0) {
        ::close(pipe_fds[0]);
        if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
            ::_exit(2);
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
            ::_exit(3);
        auto read_all = [fd](UCHAR* at, size_t length) {
            while (length) {
                ssize_t n = ::read(fd, at, length);
                if (n <= 0)
                    return false;
                at += n;
                length -= size_t(n);
            }
            return true;
        };
        control_wire::control_reply opened;
        if (!read_all(reinterpret_cast<UCHAR*>(&opened), sizeof(opened)))
            ::_exit(4);
        if (::write(fd, message.data(), message.size()) != ssize_t(message.size()))
            ::_exit(5);
        if (!read_all(answer.data(), sizeof(control_wire::control_reply)))
            ::_exit(6);
        control_wire::control_reply head;
        std::memcpy(&head, answer.data(), sizeof(head));
        if (head.output_length > output_length ||
            !read_all(answer.data() + sizeof(head), head.output_length))
            ::_exit(7);
        ssize_t w = ::write(pipe_fds[1], answer.data(), sizeof(head) + head.output_length);
        ::_exit(w > 0 ? 0 : 8);
    }
    ::close(pipe_fds[1]);
    std::vector<UCHAR> got;
    UCHAR chunk[4096];
    for (ssize_t n; (n = ::read(pipe_fds[0], chunk, sizeof(chunk))) > 0;)
        got.insert(got.end(), chunk, chunk + n);
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (got.size() < sizeof(control_wire::control_reply))
        return r;
    control_wire::control_reply head;
    std::memcpy(&head, got.data(), sizeof(head));
    r.delivered = true;
    r.status = head.status;
    r.information = head.information;
    r.output.assign(got.begin() + sizeof(head), got.end());
    return r;
}

inline std::vector<UCHAR> vault_key(UCHAR seed)
{
    std::vector<UCHAR> key(128, 0);
    for (int i = 0; i < 20; ++i)
        key[i] = UCHAR(seed + 17 * i);
    return key;
}

// A mount request as the manager sends it: 552 + key bytes, the key followed by 8 zero bytes.
inline std::vector<UCHAR> mount_request(char16_t letter, const std::u16string& dos_path,
                                        LONGLONG disk_size, bool read_only,
                                        const std::vector<UCHAR>& key)
{
    std::vector<UCHAR> bytes(REDAV_MOUNT_REQUEST_MIN_SIZE + key.size(), 0);
    REDAV_MOUNT_REQUEST head;
    std::memset(&head, 0, sizeof(head));
    head.VolumeLetter = letter;
    std::memcpy(head.FilePath, dos_path.c_str(),
                std::min<size_t>(dos_path.size(), REDAV_PATH_CHARS - 1) * 2);
    head.DiskSize = disk_size;
    head.IsReadOnly = read_only;
    head.IsEncrypt = !key.empty();
    head.KeyLength = ULONG(key.size());
    std::memcpy(bytes.data(), &head, REDAV_MOUNT_KEY_OFFSET);
    if (!key.empty())
        std::memcpy(bytes.data() + REDAV_MOUNT_KEY_OFFSET, key.data(), key.size());
    return bytes;
}

inline std::vector<UCHAR> letter_request(char16_t letter, UCHAR extra = 0, size_t size = 4)
{
    std::vector<UCHAR> bytes(size, 0);
    std::memcpy(bytes.data(), &letter, 2);
    if (size > 2)
        bytes[2] = extra;
    return bytes;
}

// The DOS form of a host path on C: (the host's "/").
inline std::u16string dos_path(const std::string& host)
{
    std::u16string out = u"C:" + hostns::from_utf8(host);
    for (char16_t& c : out)
        if (c == u'/')
            c = u'\\';
    return out;
}

inline bool is_mount_point(const std::string& path)
{
    struct stat here {
    }, parent{};
    if (::stat(path.c_str(), &here) != 0 || ::stat((path + "/..").c_str(), &parent) != 0)
        return false;
    return here.st_dev != parent.st_dev;
}

template <typename Predicate> bool eventually(Predicate p, int seconds = 30)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (p())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return p();
}

// Runs fn in a child process as the user; true when it returned true.
template <typename Fn> bool as_user(uid_t uid, gid_t gid, Fn fn)
{
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(2);
        ::_exit(fn() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace vault_test
