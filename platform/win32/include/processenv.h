// The process's command line as the platform hands it to a program.
#pragma once

#include "windef.h"

#include <string>
#include <string_view>

// The program's path in drive-letter form followed by its arguments, each quoted as the
// platform's own parser (CommandLineToArgvW) reads it back: arguments holding a blank, a tab or
// a quote, and empty ones, in quotes, with quotes escaped and the backslashes before them doubled.
// Built once; the text lives as long as the process.
LPWSTR WINAPI GetCommandLineW(VOID);

namespace win32 {
// One argument as GetCommandLineW quotes it.
std::u16string QuoteCommandLineArgument(std::u16string_view argument);
} // namespace win32
