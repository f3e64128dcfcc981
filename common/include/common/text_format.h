// printf-style formatting into wide text, and splitting text at a separator.
#pragma once

#include <stdarg.h>
#include <string>
#include <string_view>
#include <vector>

// Formats with the platform's wide printf conventions, to any length:
// - %s, %ls, %ws take a wide string (const char16_t*), %S and %hs a narrow one (UTF-8);
//   %c, %lc, %wc take a wide character, %C and %hc a narrow one; a null string prints "(null)";
// - integer sizes: none, h, hh and l are 32 bits or less (LONG and DWORD take %ld, %lu, %lX),
//   ll, I64, I, z, t and j are 64 bits, I32 is 32 bits;
// - %p prints the pointer as 16 upper-case hex digits; floating forms as the C runtime does;
// - flags, width, precision and '*' as in C.
// %n, positional arguments and unknown conversions are refused: the result is then empty, as
// it is for a null format.
std::u16string FormatText(const char16_t* format, ...);
std::u16string FormatTextV(const char16_t* format, va_list args);

// Pieces of text between separators, in order. Empty pieces (between adjacent separators, or
// before a leading or after a trailing one) are kept only when keepEmpty is set. Null or empty
// text gives no pieces.
std::vector<std::u16string> SplitText(const char16_t* text, char16_t separator, bool keepEmpty);
std::vector<std::u16string> SplitText(std::u16string_view text, char16_t separator, bool keepEmpty);
