#include "paths.h"

#include "errhandlingapi.h"
#include "winerror.h"

#include <hostns/control_wire.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

namespace win32::detail {

namespace {

// Under the service's runtime folder a user's session folder is the service's to make, which it
// does when the user first connects: one connection to each control socket is enough.
void introduce_to_service(const std::string& root)
{
    std::string folder = root + "/" + control_wire::socket_folder;
    DIR* d = opendir(folder.c_str());
    if (d == nullptr)
        return;
    while (dirent* e = readdir(d)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string path = folder + "/" + e->d_name;
        if (e->d_name[0] == '.' || path.size() >= sizeof(address.sun_path))
            continue;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            continue;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 2000); // the open reply comes once the session is set up
        }
        close(fd);
    }
    closedir(d);
}

} // namespace

hostns::Namespace name_space()
{
    hostns::Namespace ns;
    static std::mutex lock;
    static std::set<std::string> prepared;
    std::lock_guard guard(lock);
    if (prepared.insert(ns.root()).second && ns.ensure_session_defaults() == EACCES) {
        introduce_to_service(ns.root());
        ns.ensure_session_defaults();
    }
    return ns;
}

namespace {

bool separator(char16_t c)
{
    return c == u'\\' || c == u'/';
}

bool bad_character(char16_t c, bool wildcards_allowed)
{
    if (c < 32)
        return true;
    switch (c) {
    case u'<':
    case u'>':
    case u'"':
    case u'|':
    case u':':
        return true;
    case u'*':
    case u'?':
        return !wildcards_allowed;
    default:
        return false;
    }
}

// Checks the components after the drive (or of a relative path) for characters that no Windows
// name may hold.
bool valid_components(std::u16string_view text, Wildcards wildcards)
{
    size_t last = text.size();
    while (last > 0 && !separator(text[last - 1]))
        --last;
    for (size_t i = 0; i < text.size(); ++i) {
        if (separator(text[i]))
            continue;
        if (bad_character(text[i], wildcards == Wildcards::allow_in_last && i >= last))
            return false;
    }
    return true;
}

// Windows matches names without regard to letter case; most host file systems do not. A path
// that does not exist as written takes, component by component, the spelling an existing entry
// has ("D:\lockbin" finds "Lockbin"). Components that match nothing stay as written, so new names
// are created as the caller spelled them.
std::string match_case(const std::string& path)
{
    struct stat st;
    if (path.empty() || lstat(path.c_str(), &st) == 0)
        return path;
    std::string out;
    size_t i = 0;
    if (path[0] == '/') {
        out = "/";
        i = 1;
    }
    bool matching = true;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        std::string part = path.substr(i, j - i);
        i = j + 1;
        if (part.empty())
            continue;
        std::string dir = out.empty() ? "." : out;
        std::string candidate = (out.empty() || out.back() == '/' ? out : out + "/") + part;
        if (matching && lstat(candidate.c_str(), &st) != 0) {
            std::string found;
            int fd = open(dir.c_str(), O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0) {
                found = hostns::find_entry_ignoring_case(fd, part);
                close(fd);
            }
            if (found.empty())
                matching = false;
            else
                candidate = (out.empty() || out.back() == '/' ? out : out + "/") + found;
        }
        out = candidate;
    }
    return out;
}

DWORD error_from_status(const hostns::Resolution& r)
{
    switch (r.status) {
    case hostns::Status::ok:
        return ERROR_SUCCESS;
    case hostns::Status::name_not_found:
    case hostns::Status::path_not_found:
        return ERROR_PATH_NOT_FOUND;
    case hostns::Status::invalid_name:
        return ERROR_INVALID_NAME;
    case hostns::Status::too_many_links:
        return ERROR_CANT_RESOLVE_FILENAME;
    case hostns::Status::not_ready:
        return ERROR_NOT_READY;
    case hostns::Status::unsupported:
        return ERROR_BAD_NETPATH;
    case hostns::Status::io_error:
        return error_from_errno(r.error);
    }
    return ERROR_PATH_NOT_FOUND;
}

} // namespace

bool is_device_path(LPCWSTR text)
{
    return text && separator(text[0]) && separator(text[1]) && text[2] == u'.' &&
           separator(text[3]);
}

HostPath resolve_path(LPCWSTR dos_path, Wildcards wildcards)
{
    HostPath out;
    if (!dos_path || !*dos_path) {
        out.error = ERROR_PATH_NOT_FOUND;
        return out;
    }
    std::u16string_view text(dos_path);
    bool drive = text.size() >= 2 && text[1] == u':';
    bool verbatim = text.size() >= 4 && separator(text[0]) && separator(text[1]) &&
                    text[2] == u'?' && separator(text[3]);
    bool unc = !verbatim && text.size() >= 2 && separator(text[0]) && separator(text[1]);
    if (unc) {
        out.error = ERROR_BAD_NETPATH;
        return out;
    }

    if (drive || verbatim || separator(text[0])) {
        std::u16string full;
        if (!drive && !verbatim)
            full = u"C:" + std::u16string(text); // a root-relative path is on the host's drive
        else
            full = std::u16string(text);
        size_t tail = verbatim ? 4 : 2;
        if (verbatim && full.size() >= 6 && full[5] == u':')
            tail = 6;
        if (!valid_components(std::u16string_view(full).substr(tail), wildcards)) {
            out.error = ERROR_INVALID_NAME;
            return out;
        }
        hostns::Resolution r = name_space().dos_to_host(full);
        out.error = error_from_status(r);
        out.path = out.error ? std::string() : match_case(r.host_path);
        return out;
    }

    if (!valid_components(text, wildcards)) {
        out.error = ERROR_INVALID_NAME;
        return out;
    }
    // Folded lexically as Windows folds a full path, so "sub\..\x" needs no folder "sub"; a
    // leading ".." still climbs above the current folder.
    std::vector<std::u16string_view> kept;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && !separator(text[i]))
            continue;
        std::u16string_view part = text.substr(start, i - start);
        start = i + 1;
        if (part.empty() || part == u".")
            continue;
        if (part == u".." && !kept.empty() && kept.back() != u"..")
            kept.pop_back();
        else
            kept.push_back(part);
    }
    std::u16string host;
    for (auto part : kept) {
        if (!host.empty())
            host += u'/';
        host.append(part);
    }
    out.path = host.empty() ? std::string(".") : match_case(hostns::to_utf8(host));
    return out;
}

DWORD error_from_errno(int error, const std::string& host_path)
{
    switch (error) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT: {
        if (host_path.empty())
            return ERROR_FILE_NOT_FOUND;
        std::string parent = host_path;
        while (parent.size() > 1 && parent.back() == '/')
            parent.pop_back();
        size_t cut = parent.rfind('/');
        parent = cut == std::string::npos ? "." : cut == 0 ? "/" : parent.substr(0, cut);
        struct stat st;
        return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                     : ERROR_PATH_NOT_FOUND;
    }
    case ENOTDIR:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EBUSY:
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    case EXDEV:
        return ERROR_NOT_SAME_DEVICE;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case ENXIO:
    case ENODEV:
    case ENOTCONN:
    case ENOMEDIUM:
        return ERROR_NOT_READY;
    case EIO:
        return ERROR_IO_DEVICE;
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

} // namespace win32::detail
