// Predicates over wide text. Every form is false when either text is null; the forms taking a
// pattern are also false when the pattern is empty. The NoCase forms compare through the
// platform's upper-casing of each UTF-16 unit (the fold file names are matched by), independent
// of any locale.
#pragma once

#include <string_view>

bool Equals(const char16_t* text, const char16_t* other);
bool Equals(std::u16string_view text, std::u16string_view other);
bool EqualsNoCase(const char16_t* text, const char16_t* other);
bool EqualsNoCase(std::u16string_view text, std::u16string_view other);

bool StartsWith(const char16_t* text, const char16_t* pattern);
bool StartsWith(std::u16string_view text, std::u16string_view pattern);
bool StartsWithNoCase(const char16_t* text, const char16_t* pattern);
bool StartsWithNoCase(std::u16string_view text, std::u16string_view pattern);

bool EndsWith(const char16_t* text, const char16_t* pattern);
bool EndsWith(std::u16string_view text, std::u16string_view pattern);
bool EndsWithNoCase(const char16_t* text, const char16_t* pattern);
bool EndsWithNoCase(std::u16string_view text, std::u16string_view pattern);

bool Contains(const char16_t* text, const char16_t* pattern);
bool Contains(std::u16string_view text, std::u16string_view pattern);
bool ContainsNoCase(const char16_t* text, const char16_t* pattern);
bool ContainsNoCase(std::u16string_view text, std::u16string_view pattern);
