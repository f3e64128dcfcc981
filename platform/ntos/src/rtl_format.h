// printf-style formatting with the platform's rules, for DbgPrint and the RtlStringCch*Printf
// family (not visible to the driver).
//
// Sizes as the platform has them: no prefix and "l" are 32-bit, "ll", "I64", "I", "z", "j", "t"
// 64-bit, "h" 16-bit, "hh" 8-bit. Strings: in narrow output "%s" is narrow and "%S"/"%ws" wide;
// in wide output "%s" is wide and "%S"/"%hs" narrow; "%c"/"%C"/"%wc"/"%hc" likewise for
// characters; "%Z" takes an ANSI_STRING*, "%wZ" a UNICODE_STRING*. "%p" prints 16 upper-case hex
// digits. Wide text in narrow output becomes UTF-8, narrow text in wide output is read as UTF-8.
// "%n" is refused (prints nothing). A null string prints "(null)".
#pragma once

#include <cstdarg>
#include <string>

namespace ntos::detail {

std::string format_narrow(const char* format, va_list args);
std::u16string format_wide(const char16_t* format, va_list args);

} // namespace ntos::detail
