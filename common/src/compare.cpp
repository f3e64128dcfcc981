#include "common/text_compare.h"

#include <algorithm>

namespace detail {

char16_t fold_case(char16_t c)
{
    const auto shift = [c](int by) { return static_cast<char16_t>(c + by); };
    if (c < 0x80) {
        return c >= u'A' && c <= u'Z' ? shift(32) : c;
    }
    if ((c >= 0xc0 && c <= 0xde && c != 0xd7) || (c >= 0x391 && c <= 0x3ab && c != 0x3a2) ||
        (c >= 0x410 && c <= 0x42f) || (c >= 0xff21 && c <= 0xff3a)) {
        return shift(0x20);
    }
    if (c >= 0x400 && c <= 0x40f) {
        return shift(0x50);
    }
    // Latin Extended-A pairs upper/lower as even/odd, except around the dotless i and the
    // odd-first run from 0x139 to 0x148 and from 0x179 to 0x17e.
    if ((c >= 0x100 && c <= 0x137 && c != 0x130) || (c >= 0x14a && c <= 0x177)) {
        return (c & 1) == 0 ? shift(1) : c;
    }
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17e)) {
        return (c & 1) == 1 ? shift(1) : c;
    }
    if (c == 0x178) {
        return 0xff;
    }
    return c;
}

namespace {

bool same_nocase(char16_t a, char16_t b)
{
    return a == b || fold_case(a) == fold_case(b);
}

bool equal_nocase(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), same_nocase);
}

bool contains_nocase(std::u16string_view text, std::u16string_view pattern)
{
    return std::search(text.begin(), text.end(), pattern.begin(), pattern.end(), same_nocase) !=
           text.end();
}

} // namespace
} // namespace detail

bool Equals(std::u16string_view text, std::u16string_view other)
{
    return text == other;
}

bool EqualsNoCase(std::u16string_view text, std::u16string_view other)
{
    return detail::equal_nocase(text, other);
}

bool StartsWith(std::u16string_view text, std::u16string_view pattern)
{
    return !pattern.empty() && text.starts_with(pattern);
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view pattern)
{
    return !pattern.empty() && pattern.size() <= text.size() &&
           detail::equal_nocase(text.substr(0, pattern.size()), pattern);
}

bool EndsWith(std::u16string_view text, std::u16string_view pattern)
{
    return !pattern.empty() && text.ends_with(pattern);
}

bool EndsWithNoCase(std::u16string_view text, std::u16string_view pattern)
{
    return !pattern.empty() && pattern.size() <= text.size() &&
           detail::equal_nocase(text.substr(text.size() - pattern.size()), pattern);
}

bool Contains(std::u16string_view text, std::u16string_view pattern)
{
    return !pattern.empty() && text.find(pattern) != std::u16string_view::npos;
}

bool ContainsNoCase(std::u16string_view text, std::u16string_view pattern)
{
    return !pattern.empty() && detail::contains_nocase(text, pattern);
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
