#include "common/text_compare.h"

#include <hostns/hostns.h>

#include <algorithm>

namespace {

bool same_nocase(char16_t a, char16_t b)
{
    return a == b || hostns::upcase(a) == hostns::upcase(b);
}

bool contains_nocase(std::u16string_view text, std::u16string_view pattern)
{
    return std::search(text.begin(), text.end(), pattern.begin(), pattern.end(), same_nocase) !=
           text.end();
}

} // namespace

bool Equals(std::u16string_view text, std::u16string_view other)
{
    return text == other;
}

bool EqualsNoCase(std::u16string_view text, std::u16string_view other)
{
    return hostns::iequal(text, other);
}

bool StartsWith(std::u16string_view text, std::u16string_view pattern)
{
    return !pattern.empty() && text.starts_with(pattern);
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view pattern)
{
    return !pattern.empty() && pattern.size() <= text.size() &&
           hostns::iequal(text.substr(0, pattern.size()), pattern);
}

bool EndsWith(std::u16string_view text, std::u16string_view pattern)
{
    return !pattern.empty() && text.ends_with(pattern);
}

bool EndsWithNoCase(std::u16string_view text, std::u16string_view pattern)
{
    return !pattern.empty() && pattern.size() <= text.size() &&
           hostns::iequal(text.substr(text.size() - pattern.size()), pattern);
}

bool Contains(std::u16string_view text, std::u16string_view pattern)
{
    return !pattern.empty() && text.find(pattern) != std::u16string_view::npos;
}

bool ContainsNoCase(std::u16string_view text, std::u16string_view pattern)
{
    return !pattern.empty() && contains_nocase(text, pattern);
}

// The pointer forms turn null into false before the view forms see the text.
#define LOCKBIN_NULL_FALSE(name)                                                                   \
    bool name(const char16_t* text, const char16_t* other)                                         \
    {                                                                                              \
        return text != nullptr && other != nullptr &&                                              \
               name(std::u16string_view(text), std::u16string_view(other));                        \
    }

LOCKBIN_NULL_FALSE(Equals)
LOCKBIN_NULL_FALSE(EqualsNoCase)
LOCKBIN_NULL_FALSE(StartsWith)
LOCKBIN_NULL_FALSE(StartsWithNoCase)
LOCKBIN_NULL_FALSE(EndsWith)
LOCKBIN_NULL_FALSE(EndsWithNoCase)
LOCKBIN_NULL_FALSE(Contains)
LOCKBIN_NULL_FALSE(ContainsNoCase)
#undef LOCKBIN_NULL_FALSE
