#include "drive_holders.h"

#include "paths.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace win32::detail {

namespace {

bool under(const std::string& path, const std::string& folder)
{
    if (folder == "/")
        return !path.empty() && path[0] == '/';
    return path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

// A file of an aborted mount still names its old path, marked so.
std::string without_deleted_mark(std::string path)
{
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path;
}

std::string read_link(const std::string& path)
{
    char buffer[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buffer, sizeof(buffer) - 1);
    if (n <= 0)
        return {};
    return without_deleted_mark(std::string(buffer, size_t(n)));
}

bool find_hold(const std::string& proc, const std::string& folder, DriveHoldKind& how,
               std::string& held)
{
    for (const char* link : {"/cwd", "/root"}) {
        std::string target = read_link(proc + link);
        if (under(target, folder)) {
            how = DriveHoldKind::WorkingDirectory;
            held = target;
            return true;
        }
    }
    if (DIR* d = ::opendir((proc + "/fd").c_str())) {
        bool found = false;
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            std::string target = read_link(proc + "/fd/" + e->d_name);
            if (under(target, folder)) {
                how = DriveHoldKind::OpenFile;
                held = target;
                found = true;
                break;
            }
        }
        ::closedir(d);
        if (found)
            return true;
    }
    // Lines of maps end with the mapped file's path after the fifth field.
    std::ifstream maps(proc + "/maps");
    for (std::string line; std::getline(maps, line);) {
        size_t slash = line.find('/');
        if (slash == std::string::npos)
            continue;
        std::string target = without_deleted_mark(line.substr(slash));
        if (under(target, folder)) {
            how = DriveHoldKind::Mapping;
            held = target;
            return true;
        }
    }
    return false;
}

} // namespace

std::vector<HostHolder> scan_holders(const std::string& proc_root, const std::string& folder)
{
    std::vector<HostHolder> holders;
    if (folder.empty())
        return holders;
    DIR* d = ::opendir(proc_root.c_str());
    if (!d)
        return holders;
    while (dirent* e = ::readdir(d)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (!end || *end || pid <= 0)
            continue;
        std::string proc = proc_root + "/" + e->d_name;
        HostHolder h{DWORD(pid), {}, DriveHoldKind::OpenFile, {}};
        if (!find_hold(proc, folder, h.how, h.host_path))
            continue;
        std::ifstream comm(proc + "/comm");
        std::getline(comm, h.name);
        holders.push_back(std::move(h));
    }
    ::closedir(d);
    std::sort(holders.begin(), holders.end(),
              [](const HostHolder& a, const HostHolder& b) { return a.pid < b.pid; });
    return holders;
}

} // namespace win32::detail

std::string DriveHostFolder(WCHAR letter)
{
    std::u16string drive = hostns::drive_name(letter);
    if (drive.empty())
        return {};
    hostns::Resolution r = win32::detail::name_space().dos_to_host(drive + u"\\");
    if (r.status != hostns::Status::ok)
        return {};
    char* real = ::realpath(r.host_path.c_str(), nullptr);
    if (!real)
        return {};
    std::string folder = real;
    std::free(real);
    return folder;
}

std::vector<DriveHolder> GetDriveHolders(WCHAR letter)
{
    std::vector<DriveHolder> holders;
    const std::string folder = DriveHostFolder(letter);
    // Holding the host's root is not holding a drive.
    if (folder.empty() || folder == "/")
        return holders;
    const std::u16string root = hostns::drive_name(letter) + u"\\";
    for (const auto& h : win32::detail::scan_holders("/proc", folder)) {
        DriveHolder out;
        out.pid = h.pid;
        out.name = hostns::from_utf8(h.name);
        out.how = h.how;
        out.path = root + hostns::from_utf8(
                              h.host_path.substr(std::min(folder.size() + 1, h.host_path.size())));
        for (char16_t& c : out.path)
            if (c == u'/')
                c = u'\\';
        holders.push_back(std::move(out));
    }
    return holders;
}
