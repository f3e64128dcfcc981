#include "service_process.h"

#include "hostns/hostns.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lockbin_test {

using namespace std::chrono_literals;

std::string read_text(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::pair<std::string, unsigned>> mounts_under(const std::string& prefix)
{
    std::vector<std::pair<std::string, unsigned>> found;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        unsigned minor = 0;
        if (point.compare(0, prefix.size(), prefix) == 0 &&
            std::sscanf(device.c_str(), "%*u:%u", &minor) == 1)
            found.emplace_back(point, minor);
    }
    std::sort(found.rbegin(), found.rend());
    return found;
}

std::u16string dos_path(const std::string& host)
{
    std::u16string out = u"C:" + hostns::from_utf8(host);
    for (char16_t& c : out)
        if (c == u'/')
            c = u'\\';
    return out;
}

bool service_process::start(const service_options& options)
{
    options_ = options;
    status_ = -1;
    pid_ = ::fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        int fd = ::open(options.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        if (!options.runtime.empty())
            ::setenv("LOCKBIN_ROOT", options.runtime.c_str(), 1);
        if (!options.state.empty())
            ::setenv("LOCKBIN_STATE", options.state.c_str(), 1);
        if (options.default_drives)
            ::unsetenv("LOCKBIN_DRIVES");
        std::vector<char*> argv{const_cast<char*>(options.program.c_str())};
        for (const auto& a : options.args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(options.program.c_str(), argv.data());
        ::_exit(127);
    }
    return true;
}

bool service_process::reaped()
{
    int raw = 0;
    if (pid_ <= 0 || ::waitpid(pid_, &raw, WNOHANG) != pid_)
        return pid_ <= 0;
    pid_ = -1;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
}

bool service_process::wait_for(const std::string& text, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (log().find(text) == std::string::npos) {
        if (reaped())
            return log().find(text) != std::string::npos;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

bool service_process::wait_exit(std::chrono::milliseconds limit, int* status)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!reaped()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    *status = status_;
    return true;
}

int service_process::stop(std::chrono::milliseconds limit)
{
    if (pid_ > 0)
        ::kill(pid_, SIGTERM);
    int status = -1;
    return wait_exit(limit, &status) ? status : -1;
}

void service_process::kill()
{
    // Only the runtime folder the test gave is searched: never another service's mounts.
    const std::string under = options_.runtime.empty() ? "" : options_.runtime + "/";
    if (pid_ > 0) {
        if (!under.empty())
            for (const auto& [point, minor] : mounts_under(under))
                std::ofstream("/sys/fs/fuse/connections/" + std::to_string(minor) + "/abort") << 1;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    if (!under.empty())
        for (const auto& [point, minor] : mounts_under(under))
            ::umount2(point.c_str(), MNT_DETACH);
}

} // namespace lockbin_test
