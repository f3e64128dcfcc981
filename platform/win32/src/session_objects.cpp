#include "session_objects.h"

#include "hostns/hostns.h"
#include "paths.h"
#include "winerror.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace win32::detail {

namespace {

// Makes the folder if missing and checks it is the caller's own, 0700.
DWORD own_private_dir(const std::string& path)
{
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return error_from_errno(errno, path);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return error_from_errno(errno, path);
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0)
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

} // namespace

std::string session_objects_dir(DWORD* error)
{
    std::string base;
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') {
        base = std::string(runtime) + "/lockbin";
    } else {
        base = "/tmp/lockbin-" + std::to_string(geteuid());
    }
    if (DWORD e = own_private_dir(base)) {
        *error = e;
        return {};
    }
    *error = ERROR_SUCCESS;
    return base;
}

std::string object_file_name(LPCWSTR name)
{
    std::u16string_view text(name);
    for (std::u16string_view prefix :
         {std::u16string_view(u"Local\\"), std::u16string_view(u"Global\\")}) {
        if (text.substr(0, prefix.size()) == prefix) {
            text.remove_prefix(prefix.size());
            break;
        }
    }
    if (text.empty() || text.size() > 200 || text == u"." || text == u"..")
        return {};
    for (char16_t c : text)
        if (c == u'\\' || c == u'/' || c == 0)
            return {};
    return hostns::to_utf8(text);
}

} // namespace win32::detail
