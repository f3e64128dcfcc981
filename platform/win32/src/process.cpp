#include "processenv.h"

#include "hostns/hostns.h"
#include "hostpath.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <iterator>
#include <mutex>

namespace win32 {

std::u16string QuoteCommandLineArgument(std::u16string_view argument)
{
    if (!argument.empty() && argument.find_first_of(u" \t\n\v\"") == std::u16string_view::npos)
        return std::u16string(argument);
    std::u16string quoted = u"\"";
    size_t backslashes = 0;
    for (char16_t c : argument) {
        if (c == u'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled and the quote escaped; elsewhere they stand.
        quoted.append(c == u'"' ? backslashes * 2 + 1 : backslashes, u'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, u'\\');
    quoted += u'"';
    return quoted;
}

} // namespace win32

LPWSTR WINAPI GetCommandLineW(VOID)
{
    static std::u16string line;
    static std::once_flag once;
    std::call_once(once, [] {
        std::ifstream in("/proc/self/cmdline", std::ios::binary);
        const std::string raw((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
        char exe[PATH_MAX];
        const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
        std::u16string program =
            length > 0 ? HostPathToDosPath(std::string(exe, static_cast<size_t>(length))) : u"";
        size_t start = raw.find('\0');
        if (program.empty())
            program = hostns::from_utf8(raw.substr(0, start));
        line = win32::QuoteCommandLineArgument(program);
        while (start != std::string::npos && start + 1 < raw.size()) {
            const size_t end = raw.find('\0', start + 1);
            line += u' ';
            line += win32::QuoteCommandLineArgument(
                hostns::from_utf8(raw.substr(start + 1, end - start - 1)));
            start = end;
        }
    });
    return line.data();
}
