// One host side per test process: temporary runtime and state folders, a drives file that adds
// E: over a temporary data folder, and the layer's host start.
#pragma once

#include <ntos_host.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <ftw.h>
#include <string>
#include <sys/stat.h>

namespace host_env {

struct folders {
    std::string runtime;
    std::string state;
    std::string data; // the host folder behind E:
};

inline std::string& root_to_remove()
{
    static std::string root;
    return root;
}

inline void remove_root()
{
    nftw(
        root_to_remove().c_str(),
        [](const char* path, const struct stat*, int, FTW*) { return std::remove(path); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

inline const folders& start()
{
    static const folders f = [] {
        char base[] = "/tmp/ntos-test-XXXXXX";
        std::string root = mkdtemp(base);
        folders out{root + "/run", root + "/state", root + "/data"};
        root_to_remove() = root;
        std::atexit(remove_root);
        // Other users reach the data folder (impersonation tests), not the state folder.
        ::chmod(root.c_str(), 0755);
        ::mkdir(out.state.c_str(), 0700);
        ::mkdir(out.data.c_str(), 0777);
        ::chmod(out.data.c_str(), 0777);
        std::ofstream(out.state + "/drives") << "# test drives\nE: " << out.data << "\n";
        NTSTATUS status = ntos::start_host(out.runtime, out.state);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return out;
    }();
    return f;
}

// Counted string over a std::u16string that outlives it, or over a literal.
inline UNICODE_STRING us(const char16_t* literal)
{
    UNICODE_STRING s;
    s.Buffer = const_cast<PWSTR>(literal);
    s.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(literal) * 2);
    s.MaximumLength = static_cast<USHORT>(s.Length + 2);
    return s;
}

inline UNICODE_STRING us(const std::u16string& text)
{
    UNICODE_STRING s;
    s.Buffer = const_cast<PWSTR>(text.c_str());
    s.Length = static_cast<USHORT>(text.size() * 2);
    s.MaximumLength = static_cast<USHORT>(s.Length + 2);
    return s;
}

inline std::u16string u16(const std::string& ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

// NT path of a host path below E:'s data folder.
inline std::u16string nt_data(const std::string& relative)
{
    std::u16string out = u"\\??\\E:\\";
    for (char c : relative)
        out += c == '/' ? u'\\' : char16_t(c);
    return out;
}

} // namespace host_env
