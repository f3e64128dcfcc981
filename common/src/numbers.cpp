#include "common/text_numbers.h"
#include "common/text_format.h"

namespace detail {
namespace {

struct parsed_number {
    bool negative = false;
    uint64_t magnitude = 0;
    bool overflow = false; // the digits exceed 64 bits
};

bool is_scanf_blank(char16_t c)
{
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

int digit_value(char16_t c, int base)
{
    int value = 36;
    if (c >= u'0' && c <= u'9') {
        value = c - u'0';
    } else if (c >= u'a' && c <= u'z') {
        value = c - u'a' + 10;
    } else if (c >= u'A' && c <= u'Z') {
        value = c - u'A' + 10;
    }
    return value < base ? value : -1;
}

parsed_number parse_number(std::u16string_view text, int base)
{
    parsed_number result;
    size_t i = 0;
    while (i < text.size() && is_scanf_blank(text[i])) {
        ++i;
    }
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
        result.negative = text[i] == u'-';
        ++i;
    }
    if (base == 16 && i + 1 < text.size() && text[i] == u'0' &&
        (text[i + 1] == u'x' || text[i + 1] == u'X')) {
        i += 2;
    }
    for (; i < text.size(); ++i) {
        const int digit = digit_value(text[i], base);
        if (digit < 0) {
            break;
        }
        const auto d = static_cast<uint64_t>(digit);
        if (result.magnitude > (UINT64_MAX - d) / static_cast<uint64_t>(base)) {
            result.overflow = true;
        } else {
            result.magnitude = result.magnitude * static_cast<uint64_t>(base) + d;
        }
    }
    return result;
}

// Signed decimal within [-limit - 1, limit].
int64_t to_signed(const parsed_number& n, uint64_t limit)
{
    if (n.negative) {
        if (n.overflow || n.magnitude > limit) {
            return -static_cast<int64_t>(limit) - 1;
        }
        return -static_cast<int64_t>(n.magnitude);
    }
    if (n.overflow || n.magnitude > limit) {
        return static_cast<int64_t>(limit);
    }
    return static_cast<int64_t>(n.magnitude);
}

// Unsigned within [0, limit]; a minus sign negates modulo limit + 1, as strtoul does.
uint64_t to_unsigned(const parsed_number& n, uint64_t limit)
{
    if (n.overflow || n.magnitude > limit) {
        return limit;
    }
    return n.negative ? (0 - n.magnitude) & limit : n.magnitude;
}

std::u16string_view view_of(const char16_t* text)
{
    return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

} // namespace
} // namespace detail

int32_t TextToInt(std::u16string_view text)
{
    return static_cast<int32_t>(detail::to_signed(detail::parse_number(text, 10), INT32_MAX));
}

uint32_t HexTextToInt(std::u16string_view text)
{
    return static_cast<uint32_t>(detail::to_unsigned(detail::parse_number(text, 16), UINT32_MAX));
}

int64_t TextToInt64(std::u16string_view text)
{
    return detail::to_signed(detail::parse_number(text, 10), INT64_MAX);
}

uint64_t HexTextToInt64(std::u16string_view text)
{
    return detail::to_unsigned(detail::parse_number(text, 16), UINT64_MAX);
}

int32_t TextToInt(const char16_t* text)
{
    return TextToInt(detail::view_of(text));
}

uint32_t HexTextToInt(const char16_t* text)
{
    return HexTextToInt(detail::view_of(text));
}

int64_t TextToInt64(const char16_t* text)
{
    return TextToInt64(detail::view_of(text));
}

uint64_t HexTextToInt64(const char16_t* text)
{
    return HexTextToInt64(detail::view_of(text));
}

std::u16string IntToText(int32_t value)
{
    return FormatText(u"%d", value);
}

std::u16string IntToHexText(uint32_t value, bool withPrefix)
{
    return FormatText(withPrefix ? u"0x%X" : u"%X", value);
}

std::u16string Int64ToText(int64_t value)
{
    return FormatText(u"%I64d", value);
}

std::u16string Int64ToHexText(uint64_t value, bool withPrefix)
{
    return FormatText(withPrefix ? u"0x%I64X" : u"%I64X", value);
}
