// Published top-level windows and the session socket that answers for them. Each program that
// publishes a window listens on SESSION/window.PID; a request is one line, "F title" (the reply
// is the window's id, 0 for none) or "R id" (1 when raised, 0 when there is no such window).
#include "winuser.h"

#include "errhandlingapi.h"
#include "hostns/hostns.h"
#include "session_objects.h"
#include "winerror.h"

#include <dirent.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct Published {
    std::u16string title;
    LOCKBIN_RAISE_PROC raise;
    void* context;
};

std::mutex g_lock;
std::map<uint32_t, Published> g_windows;
uint32_t g_next_id = 1;
std::string g_socket_path;

constexpr size_t kMaxLine = 4096;

HWND encode(pid_t pid, uint32_t id)
{
    return reinterpret_cast<HWND>((static_cast<uintptr_t>(pid) << 32) | id);
}

void decode(HWND window, pid_t& pid, uint32_t& id)
{
    const uintptr_t value = reinterpret_cast<uintptr_t>(window);
    pid = static_cast<pid_t>(value >> 32);
    id = static_cast<uint32_t>(value & 0xffffffffu);
}

uint32_t find_local(const std::u16string& title)
{
    std::lock_guard guard(g_lock);
    for (const auto& [id, window] : g_windows)
        if (window.title == title)
            return id;
    return 0;
}

bool raise_local(uint32_t id)
{
    Published window;
    {
        std::lock_guard guard(g_lock);
        auto it = g_windows.find(id);
        if (it == g_windows.end())
            return false;
        window = it->second;
    }
    if (window.raise)
        window.raise(window.context);
    return true;
}

void set_timeouts(int fd)
{
    timeval tv{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

bool read_line(int fd, std::string& line)
{
    line.clear();
    char c;
    while (line.size() < kMaxLine) {
        ssize_t n = read(fd, &c, 1);
        if (n != 1)
            return false;
        if (c == '\n')
            return true;
        line += c;
    }
    return false;
}

bool write_all(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void answer(int client)
{
    set_timeouts(client);
    std::string line;
    if (!read_line(client, line) || line.size() < 2 || line[1] != ' ')
        return;
    const std::string argument = line.substr(2);
    if (line[0] == 'F')
        write_all(client, std::to_string(find_local(hostns::from_utf8(argument))) + "\n");
    else if (line[0] == 'R')
        write_all(client, raise_local(static_cast<uint32_t>(strtoul(argument.c_str(), nullptr, 10)))
                              ? "1\n"
                              : "0\n");
}

void listen_loop(int server)
{
    for (;;) {
        int client = accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        answer(client);
        close(client);
    }
}

void remove_socket()
{
    if (!g_socket_path.empty())
        unlink(g_socket_path.c_str());
}

sockaddr_un address_of(const std::string& path, bool& fits)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    fits = path.size() < sizeof address.sun_path;
    if (fits)
        memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// Starts the listener once per process; false when the socket cannot be made.
bool ensure_listener()
{
    std::lock_guard guard(g_lock);
    if (!g_socket_path.empty())
        return true;
    DWORD error = 0;
    const std::string dir = win32::detail::session_objects_dir(&error);
    if (dir.empty())
        return false;
    const std::string path = dir + "/window." + std::to_string(getpid());
    // Bound and listening under a temporary name first: a client that finds the name must be
    // able to connect, or it takes the socket for a dead program's and removes it.
    const std::string temporary = dir + "/.window." + std::to_string(getpid());
    bool fits = false;
    sockaddr_un address = address_of(temporary, fits);
    if (!fits || path.size() >= sizeof address.sun_path)
        return false;
    unlink(temporary.c_str());
    int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0)
        return false;
    if (bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(server, 8) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
        close(server);
        unlink(temporary.c_str());
        return false;
    }
    g_socket_path = path;
    atexit(remove_socket);
    std::thread(listen_loop, server).detach();
    return true;
}

// One request to another program's listener; "" when it does not answer. A socket whose
// program is gone is removed.
std::string ask(const std::string& path, const std::string& request)
{
    bool fits = false;
    sockaddr_un address = address_of(path, fits);
    if (!fits)
        return {};
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    set_timeouts(fd);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ECONNREFUSED)
            unlink(path.c_str());
    } else if (write_all(fd, request)) {
        read_line(fd, reply);
    }
    close(fd);
    return reply;
}

std::string socket_of(pid_t pid)
{
    DWORD error = 0;
    const std::string dir = win32::detail::session_objects_dir(&error);
    return dir.empty() ? std::string() : dir + "/window." + std::to_string(pid);
}

} // namespace

HWND WINAPI LockbinPublishWindow(LPCWSTR lpWindowName, LOCKBIN_RAISE_PROC raise, void* context)
{
    if (!lpWindowName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!ensure_listener()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::lock_guard guard(g_lock);
    const uint32_t id = g_next_id++;
    g_windows[id] = Published{lpWindowName, raise, context};
    return encode(getpid(), id);
}

BOOL WINAPI LockbinWithdrawWindow(HWND hWnd)
{
    pid_t pid = 0;
    uint32_t id = 0;
    decode(hWnd, pid, id);
    std::lock_guard guard(g_lock);
    if (pid != getpid() || g_windows.erase(id) == 0) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName)
{
    SetLastError(ERROR_SUCCESS);
    if (lpClassName || !lpWindowName)
        return nullptr;
    const std::u16string title(lpWindowName);
    if (uint32_t id = find_local(title))
        return encode(getpid(), id);
    DWORD error = 0;
    const std::string dir = win32::detail::session_objects_dir(&error);
    if (dir.empty())
        return nullptr;
    DIR* folder = opendir(dir.c_str());
    if (!folder)
        return nullptr;
    HWND found = nullptr;
    const std::string request = "F " + hostns::to_utf8(title) + "\n";
    while (dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.rfind("window.", 0) != 0)
            continue;
        const pid_t pid = static_cast<pid_t>(strtol(name.c_str() + 7, nullptr, 10));
        if (pid <= 0 || pid == getpid())
            continue;
        const std::string reply = ask(dir + "/" + name, request);
        const unsigned long id = strtoul(reply.c_str(), nullptr, 10);
        if (id != 0) {
            found = encode(pid, static_cast<uint32_t>(id));
            break;
        }
    }
    closedir(folder);
    return found;
}

BOOL WINAPI SetForegroundWindow(HWND hWnd)
{
    pid_t pid = 0;
    uint32_t id = 0;
    decode(hWnd, pid, id);
    bool raised = false;
    if (pid == getpid())
        raised = raise_local(id);
    else if (pid > 0)
        raised = ask(socket_of(pid), "R " + std::to_string(id) + "\n") == "1";
    if (!raised) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}
