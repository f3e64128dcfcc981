#include "host_program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace win32::detail {

namespace {

bool executable(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> environment_with(const std::vector<std::string>& overrides)
{
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& o : overrides)
            replaced = replaced || o.compare(0, name.size(), name) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), overrides.begin(), overrides.end());
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> out;
    for (std::string& s : strings)
        out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

} // namespace

std::string find_program(const std::string& name, const std::vector<std::string>& folders)
{
    std::vector<std::string> where = folders;
    const char* path = std::getenv("PATH");
    std::string rest = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= rest.size();) {
        size_t end = rest.find(':', start);
        if (end == std::string::npos)
            end = rest.size();
        if (end > start)
            where.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    for (const std::string& folder : where) {
        std::string candidate = folder + "/" + name;
        if (executable(candidate))
            return candidate;
    }
    return {};
}

Child spawn(const std::vector<std::string>& argv, bool capture,
            const std::vector<std::string>& overrides)
{
    Child child;
    int pipe_fds[2] = {-1, -1};
    if (capture && pipe2(pipe_fds, O_CLOEXEC) != 0)
        return child;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (capture) {
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    std::vector<std::string> args = argv;
    std::vector<std::string> env = environment_with(overrides);
    std::vector<char*> arg_ptrs = pointers(args);
    std::vector<char*> env_ptrs = pointers(env);
    pid_t pid = -1;
    int error = argv.empty() ? EINVAL
                             : posix_spawn(&pid, argv[0].c_str(), &actions, nullptr,
                                           arg_ptrs.data(), env_ptrs.data());
    posix_spawn_file_actions_destroy(&actions);
    if (capture)
        close(pipe_fds[1]);
    if (error != 0) {
        if (capture)
            close(pipe_fds[0]);
        return child;
    }
    child.pid = pid;
    child.output = capture ? pipe_fds[0] : -1;
    return child;
}

int wait_child(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run_program(const std::vector<std::string>& argv, std::string* output,
                const std::vector<std::string>& overrides)
{
    Child child = spawn(argv, output != nullptr, overrides);
    if (child.pid < 0)
        return -1;
    if (output) {
        char buffer[4096];
        for (;;) {
            ssize_t n = read(child.output, buffer, sizeof buffer);
            if (n > 0)
                output->append(buffer, size_t(n));
            else if (n == 0 || errno != EINTR)
                break;
        }
        close(child.output);
    }
    return wait_child(child.pid);
}

} // namespace win32::detail
