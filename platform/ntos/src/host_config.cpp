// Runtime and state folders, the host drives file and UTF-16/UTF-8 conversion.
#include "host_internal.h"
#include "rtl_format.h"

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

std::string host_utf8(std::u16string_view text)
{
    return utf16_to_utf8(text.data(), text.size());
}

std::u16string host_utf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        char32_t c;
        size_t len;
        if (b < 0x80) {
            c = b;
            len = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            len = 4;
        } else {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        bool ok = i + len <= text.size();
        for (size_t k = 1; ok && k < len; ++k) {
            unsigned char cont = static_cast<unsigned char>(text[i + k]);
            ok = (cont & 0xC0) == 0x80;
            c = (c << 6) | (cont & 0x3F);
        }
        static constexpr char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || c < least[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += len;
    }
    return out;
}

} // namespace ntos::detail
