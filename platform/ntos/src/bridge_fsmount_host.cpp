// Child processes, mount table, FUSE connections and holders, for the file-system mounting.
#include "bridge_fsmount_host.h"

#include "hostns/holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace ntos::detail {

namespace {

constexpr const char* fuse_connections = "/sys/fs/fuse/connections";

// Mount points in /proc/self/mountinfo escape space, tab, newline and backslash as octal.
std::string unescape(const std::string& field)
{
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            out.push_back(char(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8)));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

// The device number field ("0:52") of the topmost mount at mount_point, empty for none.
std::string mount_device(const std::string& mount_point)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string found;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (unescape(point) == mount_point)
            found = device; // later lines are mounted over earlier ones
    }
    return found;
}

bool folder_is_empty(const char* folder)
{
    DIR* d = ::opendir(folder);
    if (!d)
        return true;
    bool empty = true;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) {
            empty = false;
            break;
        }
    }
    ::closedir(d);
    return empty;
}

} // namespace

pid_t host_spawn(const std::vector<std::string>& argv, bool owner_start, uid_t uid, gid_t gid)
{
    if (argv.empty())
        return -1;
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t child = ::fork();
    if (child != 0)
        return child;
    // Only system calls from here on: the service is multi-threaded.
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) {
        ::dup2(null, 0);
        if (null > 2)
            ::close(null);
    }
#ifdef SYS_close_range
    ::syscall(SYS_close_range, 3u, ~0u, 0u);
#else
    for (int fd = 3; fd < 4096; ++fd)
        ::close(fd);
#endif
    if (owner_start && (::setgroups(1, &gid) != 0 || ::setresgid(gid, gid, gid) != 0 ||
                        ::setresuid(uid, 0, 0) != 0))
        ::_exit(126);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

void host_reap(pid_t child, int patience_ms)
{
    if (child <= 0)
        return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patience_ms);
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child || (done < 0 && errno == ECHILD))
            return;
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        // A file system run as a user may have been stopped by that user: it must go on to end.
        ::kill(child, SIGCONT);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
}

bool host_have_program(const char* name)
{
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
    std::istringstream in(dirs);
    for (std::string dir; std::getline(in, dir, ':');)
        if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0)
            return true;
    return false;
}

bool host_is_mount_point(const std::string& mount_point)
{
    return !mount_device(mount_point).empty();
}

bool host_wait_mounted(const std::string& mount_point, pid_t child)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (host_is_mount_point(mount_point))
            return true;
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child)
            return host_is_mount_point(mount_point);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool host_unmount(const std::string& mount_point, bool detach)
{
    if (::umount2(mount_point.c_str(), detach ? MNT_DETACH : 0) == 0)
        return true;
    return errno == EINVAL && !host_is_mount_point(mount_point);
}

void host_detach_stale_mount(const std::string& mount_point)
{
    while (host_is_mount_point(mount_point)) {
        host_abort_fuse(mount_point);
        if (::umount2(mount_point.c_str(), MNT_DETACH) != 0)
            return;
    }
}

bool host_abort_fuse(const std::string& mount_point)
{
    std::string device = mount_device(mount_point);
    size_t colon = device.find(':');
    if (colon == std::string::npos)
        return false;
    std::string minor = device.substr(colon + 1);
    if (folder_is_empty(fuse_connections))
        ::mount("fusectl", fuse_connections, "fusectl", 0, nullptr);
    std::string abort_file = std::string(fuse_connections) + "/" + minor + "/abort";
    int fd = ::open(abort_file.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool written = ::write(fd, "1", 1) == 1;
    ::close(fd);
    return written;
}

std::vector<host_holder> host_holders(const std::string& folder)
{
    std::vector<host_holder> holders;
    for (const hostns::holder& h : hostns::find_holders(folder))
        holders.push_back({h.pid, h.name});
    return holders;
}

} // namespace ntos::detail
