// Runtime and state folders and the host drives file.
#include "host_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>

namespace ntos::detail {

namespace {

struct folders {
    std::mutex lock;
    bool loaded = false;
    std::string runtime;
    std::string state;
};

folders& the_folders()
{
    static folders f;
    return f;
}

std::string env_or(const char* name, const char* fallback)
{
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : std::string(fallback);
}

folders& loaded_folders()
{
    folders& f = the_folders();
    std::lock_guard<std::mutex> guard(f.lock);
    if (!f.loaded) {
        f.runtime = env_or("LOCKBIN_ROOT", "/run/lockbin");
        f.state = env_or("LOCKBIN_STATE", "/var/lib/lockbin");
        f.loaded = true;
    }
    return f;
}

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

} // namespace

const std::string& host_runtime_folder()
{
    return loaded_folders().runtime;
}

const std::string& host_state_folder()
{
    return loaded_folders().state;
}

void host_configure_folders(const std::string& runtime, const std::string& state)
{
    folders& f = loaded_folders();
    std::lock_guard<std::mutex> guard(f.lock);
    if (!runtime.empty())
        f.runtime = runtime;
    if (!state.empty())
        f.state = state;
}

std::vector<host_drive> host_read_drives(const std::string& drives_file)
{
    std::vector<host_drive> drives{{u'C', "/"}};
    std::ifstream in(drives_file);
    std::string line;
    int number = 0;
    while (in && std::getline(in, line)) {
        ++number;
        line = trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        char letter = line[0];
        if (letter >= 'a' && letter <= 'z')
            letter = static_cast<char>(letter - 'a' + 'A');
        std::string folder = line.size() > 2 ? trim(line.substr(2)) : std::string();
        if (line.size() < 3 || letter < 'C' || letter > 'Z' || line[1] != ':' ||
            (line[2] != ' ' && line[2] != '\t') || folder.empty() || folder[0] != '/') {
            std::fprintf(stderr, "ntos: %s:%d: ignored, expected \"E: /host/folder\"\n",
                         drives_file.c_str(), number);
            continue;
        }
        while (folder.size() > 1 && folder.back() == '/')
            folder.pop_back();
        auto same = std::find_if(drives.begin(), drives.end(),
                                 [&](const host_drive& d) { return d.letter == letter; });
        if (same != drives.end())
            same->folder = folder;
        else
            drives.push_back({static_cast<char16_t>(letter), folder});
    }
    std::sort(drives.begin(), drives.end(),
              [](const host_drive& a, const host_drive& b) { return a.letter < b.letter; });
    return drives;
}

} // namespace ntos::detail
