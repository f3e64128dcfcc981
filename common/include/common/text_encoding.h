// Conversions between wide (UTF-16) text and narrow encodings.
#pragma once

#include <stdint.h>
#include <string>
#include <string_view>

// Code page numbers as the platform names them. The ANSI and OEM code pages of this system are
// UTF-8; 936 is GBK.
#ifndef CP_ACP
#define CP_ACP 0
#endif
#ifndef CP_OEMCP
#define CP_OEMCP 1
#endif
#ifndef CP_THREAD_ACP
#define CP_THREAD_ACP 3
#endif
#ifndef CP_UTF8
#define CP_UTF8 65001
#endif

// Both directions behave as the platform's converters do without strict flags: a byte sequence
// that is not valid in the code page becomes U+FFFD, a character the code page cannot hold
// becomes '?' (for UTF-8, an unpaired surrogate becomes U+FFFD). The result is empty when the
// conversion cannot be made at all (unknown code page) and for null text.
std::u16string CodePageToWide(std::string_view text, uint32_t codePage);
std::u16string CodePageToWide(const char* text, uint32_t codePage);
std::string WideToCodePage(std::u16string_view text, uint32_t codePage);
std::string WideToCodePage(const char16_t* text, uint32_t codePage);

std::u16string Utf8ToWide(std::string_view text);
std::u16string Utf8ToWide(const char* text);
std::string WideToUtf8(std::u16string_view text);
std::string WideToUtf8(const char16_t* text);

namespace detail {
// The converter name for a code page, or null when this system has no converter for it.
const char* code_page_charset(uint32_t codePage);
} // namespace detail
