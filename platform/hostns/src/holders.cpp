#include "hostns/holders.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace hostns {

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

bool find_hold(const std::string& proc, const std::string& folder, hold_kind& how,
               std::string& held)
{
    for (const char* link : {"/cwd", "/root"}) {
        std::string target = read_link(proc + link);
        if (under(target, folder)) {
            how = hold_kind::working_directory;
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
                how = hold_kind::open_file;
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
            how = hold_kind::mapping;
            held = target;
            return true;
        }
    }
    return false;
}

} // namespace

std::vector<holder> find_holders(const std::string& folder, const std::string& proc_root)
{
    std::vector<holder> holders;
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
        holder h;
        h.pid = pid_t(pid);
        if (!find_hold(proc, folder, h.how, h.path))
            continue;
        std::ifstream comm(proc + "/comm");
        std::getline(comm, h.name);
        holders.push_back(std::move(h));
    }
    ::closedir(d);
    std::sort(holders.begin(), holders.end(),
              [](const holder& a, const holder& b) { return a.pid < b.pid; });
    return holders;
}

} // namespace hostns
