// ShellExecuteW over the desktop's opener and pkexec (see shellapi.h).
#include "shellapi.h"

#include "errhandlingapi.h"
#include "hostns/hostns.h"
#include "hostpath.h"
#include "winerror.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <fstream>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

extern char** environ;

namespace win32 {

std::vector<std::u16string> SplitCommandLineArguments(std::u16string_view text)
{
    std::vector<std::u16string> arguments;
    size_t i = 0;
    for (;;) {
        while (i < text.size() && (text[i] == u' ' || text[i] == u'\t'))
            ++i;
        if (i >= text.size())
            return arguments;
        std::u16string argument;
        bool quoted = false;
        while (i < text.size() && (quoted || (text[i] != u' ' && text[i] != u'\t'))) {
            size_t backslashes = 0;
            while (i < text.size() && text[i] == u'\\') {
                ++backslashes;
                ++i;
            }
            if (i < text.size() && text[i] == u'"') {
                // 2n backslashes and a quote: n backslashes and the quote toggles quoting;
                // 2n+1: n backslashes and a literal quote.
                argument.append(backslashes / 2, u'\\');
                if (backslashes % 2) {
                    argument += u'"';
                } else if (quoted && i + 1 < text.size() && text[i + 1] == u'"') {
                    argument += u'"'; // "" inside quotes is a literal quote
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                argument.append(backslashes, u'\\');
                if (i < text.size() && (quoted || (text[i] != u' ' && text[i] != u'\t')))
                    argument += text[i++];
            }
        }
        arguments.push_back(std::move(argument));
    }
}

} // namespace win32

namespace {

// A child and, once it has ended, its wait status. A detached thread reaps it, so a child that
// runs on after the call leaves no zombie.
struct Child {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    int status = 0;
};

HINSTANCE fail_with(int code, DWORD error)
{
    SetLastError(error);
    return reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(code));
}

HINSTANCE started()
{
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(42));
}

// Starts argv[0] (searched in PATH when it has no '/') in `dir`; 0 or the errno of the spawn.
int spawn(const std::vector<std::string>& argv, const std::string& dir,
          std::shared_ptr<Child>& child, pid_t* started_pid = nullptr)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!dir.empty())
        posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = 0;
    const int error = posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0)
        return error;
    child = std::make_shared<Child>();
    std::thread([pid, child] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        std::lock_guard guard(child->lock);
        child->done = true;
        child->status = status;
        child->ended.notify_all();
    }).detach();
    if (started_pid)
        *started_pid = pid;
    return 0;
}

bool is_url(std::u16string_view text)
{
    const size_t colon = text.find(u':');
    if (colon == std::u16string_view::npos || colon < 2)
        return false;
    for (size_t i = 0; i < colon; ++i) {
        const char16_t c = text[i];
        const bool letter = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
        const bool other = (c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.';
        if (!letter && !(i > 0 && other))
            return false;
    }
    return true;
}

bool executable_file(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

std::string own_folder()
{
    char exe[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0)
        return {};
    std::string path(exe, static_cast<size_t>(length));
    return path.substr(0, path.rfind('/'));
}

std::string absolute(const std::string& path, const std::string& dir)
{
    if (!path.empty() && path[0] == '/')
        return path;
    if (!dir.empty())
        return dir + "/" + path;
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) ? std::string(cwd) + "/" + path : path;
}

// The program's host path as the shell would find it; "" when there is none.
std::string find_program(std::u16string_view file, const std::string& dir)
{
    std::vector<std::string> names{hostns::to_utf8(file)};
    if (file.size() > 4) {
        std::u16string tail(file.substr(file.size() - 4));
        for (char16_t& c : tail)
            if (c >= u'A' && c <= u'Z')
                c = char16_t(c - u'A' + u'a');
        if (tail == u".exe")
            names.push_back(hostns::to_utf8(file.substr(0, file.size() - 4)));
    }
    const bool bare = file.find_first_of(u"\\/:") == std::u16string_view::npos;
    std::vector<std::string> folders;
    if (bare) {
        folders.push_back(dir);
        folders.push_back(absolute(".", {}));
        folders.push_back(own_folder());
        if (const char* path = getenv("PATH")) {
            std::string list = path;
            size_t start = 0;
            for (;;) {
                const size_t end = list.find(':', start);
                folders.push_back(list.substr(start, end - start));
                if (end == std::string::npos)
                    break;
                start = end + 1;
            }
        }
    }
    for (const std::string& name : names) {
        if (!bare) {
            std::u16string dos = hostns::from_utf8(name);
            std::string host = DosPathToHostPath(dos);
            if (host.empty())
                continue;
            host = absolute(host, dir);
            if (executable_file(host))
                return host;
            continue;
        }
        for (const std::string& folder : folders) {
            if (folder.empty())
                continue;
            const std::string candidate = absolute(folder + "/" + name, dir);
            if (executable_file(candidate))
                return candidate;
        }
    }
    return {};
}

HINSTANCE open_target(std::u16string_view file, const std::string& dir)
{
    std::string target;
    if (is_url(file)) {
        target = hostns::to_utf8(file);
    } else {
        target = DosPathToHostPath(file);
        if (target.empty())
            return fail_with(SE_ERR_FNF, ERROR_FILE_NOT_FOUND);
        target = absolute(target, dir);
        struct stat st;
        if (stat(target.c_str(), &st) != 0) {
            const std::string parent = target.substr(0, target.rfind('/'));
            if (!parent.empty() && stat(parent.c_str(), &st) != 0)
                return fail_with(SE_ERR_PNF, ERROR_PATH_NOT_FOUND);
            return fail_with(SE_ERR_FNF, ERROR_FILE_NOT_FOUND);
        }
    }
    std::shared_ptr<Child> child;
    if (spawn({"xdg-open", target}, dir, child) != 0)
        return fail_with(SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION);
    std::unique_lock guard(child->lock);
    // An opener that hands over to a running program ends at once; one that runs the program
    // itself has started it when it is still there after a while.
    if (!child->ended.wait_for(guard, std::chrono::seconds(5), [&] { return child->done; }))
        return started();
    if (WIFEXITED(child->status) && WEXITSTATUS(child->status) == 0)
        return started();
    if (WIFEXITED(child->status) && WEXITSTATUS(child->status) == 2)
        return fail_with(SE_ERR_FNF, ERROR_FILE_NOT_FOUND);
    return fail_with(SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION);
}

// True while pid still runs pkexec itself (before it has started the program). The process's
// name is read, not its executable: a user may not follow the link of a setuid process.
bool still_pkexec(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return !in || name == "pkexec";
}

HINSTANCE run_elevated(std::u16string_view file, LPCWSTR parameters, const std::string& dir)
{
    const std::string program = find_program(file, dir);
    if (program.empty())
        return fail_with(SE_ERR_FNF, ERROR_FILE_NOT_FOUND);
    std::vector<std::string> argv;
    const bool root = geteuid() == 0;
    std::string pkexec;
    if (!root) {
        for (const char* candidate : {"/usr/bin/pkexec", "/bin/pkexec"})
            if (executable_file(candidate)) {
                pkexec = candidate;
                break;
            }
        if (pkexec.empty())
            return fail_with(SE_ERR_ACCESSDENIED, ERROR_CANCELLED);
        argv.push_back(pkexec);
    }
    argv.push_back(program);
    if (parameters)
        for (const std::u16string& a : win32::SplitCommandLineArguments(parameters))
            argv.push_back(hostns::to_utf8(a));
    std::shared_ptr<Child> child;
    pid_t pid = 0;
    if (int error = spawn(argv, dir, child, &pid))
        return fail_with(SE_ERR_ACCESSDENIED,
                         error == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
    if (root)
        return started();
    // pkexec replaces itself with the program once it is allowed to; until then it asks.
    std::unique_lock guard(child->lock);
    for (;;) {
        if (child->ended.wait_for(guard, std::chrono::milliseconds(20),
                                  [&] { return child->done; })) {
            const int code = WIFEXITED(child->status) ? WEXITSTATUS(child->status) : -1;
            if (code == 126 || code == 127 || code < 0)
                return fail_with(SE_ERR_ACCESSDENIED, ERROR_CANCELLED);
            return started();
        }
        if (!still_pkexec(pid))
            return started();
    }
}

} // namespace

HINSTANCE WINAPI ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                               LPCWSTR lpDirectory, INT nShowCmd)
{
    if (!lpFile || !*lpFile)
        return fail_with(SE_ERR_FNF, ERROR_FILE_NOT_FOUND);
    std::string dir;
    if (lpDirectory && *lpDirectory) {
        dir = DosPathToHostPath(lpDirectory);
        struct stat st;
        if (dir.empty() || stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return fail_with(SE_ERR_PNF, ERROR_PATH_NOT_FOUND);
    }
    const std::u16string verb = lpOperation ? lpOperation : u"open";
    if (verb == u"open")
        return open_target(lpFile, dir);
    if (verb == u"runas")
        return run_elevated(lpFile, lpParameters, dir);
    return fail_with(SE_ERR_NOASSOC, ERROR_NO_ASSOCIATION);
}
