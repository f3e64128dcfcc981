#include "hostpath.h"

#include "paths.h"

#include <climits>
#include <cstdlib>

namespace {

// The real path where the file exists, the text as given otherwise (a new file's folder).
std::string real_or_given(const std::string& path)
{
    char buffer[PATH_MAX];
    if (realpath(path.c_str(), buffer))
        return buffer;
    return path;
}

// True when `path` is `folder` or lies below it.
bool holds(const std::string& folder, const std::string& path)
{
    if (folder == "/")
        return !path.empty() && path[0] == '/';
    return path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

} // namespace

std::string DosPathToHostPath(std::u16string_view dos_path)
{
    const std::u16string text(dos_path);
    const win32::detail::HostPath resolved = win32::detail::resolve_path(text.c_str());
    if (resolved.error != 0 || resolved.path.empty() || resolved.path[0] != '/')
        return {};
    return resolved.path;
}

std::u16string HostPathToDosPath(std::string_view host_path)
{
    if (host_path.empty() || host_path[0] != '/')
        return {};
    const std::string path = real_or_given(std::string(host_path));
    const uint32_t mask = win32::detail::name_space().drive_mask();
    std::u16string best;
    size_t best_length = 0;
    bool found = false;
    for (int i = 0; i < 26; ++i) {
        if (!(mask & (1u << i)))
            continue;
        const char16_t root[] = {char16_t(u'A' + i), u':', u'\\', 0};
        const std::string folder = DosPathToHostPath(root);
        if (folder.empty())
            continue;
        const std::string real = real_or_given(folder);
        if (!holds(real, path) || (found && real.size() <= best_length))
            continue;
        found = true;
        best_length = real.size();
        std::string rest =
            real == "/" ? path.substr(1) : path.substr(std::min(path.size(), real.size() + 1));
        std::u16string dos(root);
        for (char16_t c : hostns::from_utf8(rest))
            dos += c == u'/' ? u'\\' : c;
        best = dos;
    }
    return best;
}
