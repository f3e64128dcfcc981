#include "common/text_format.h"
#include "common/text_encoding.h"

#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace detail {
namespace {

enum class arg_size { none, hh, h, l, ll, ld, wide };

struct conversion {
    bool left = false;
    bool zero = false;
    std::string flags;
    int width = -1;
    int precision = -1;
    arg_size size = arg_size::none;
    char16_t kind = 0;
};

// Reads a decimal field (width or precision); false when it would not fit an int.
bool read_count(const char16_t*& p, int& value)
{
    int64_t n = 0;
    while (*p >= u'0' && *p <= u'9') {
        n = n * 10 + (*p - u'0');
        if (n > INT_MAX) {
            return false;
        }
        ++p;
    }
    value = static_cast<int>(n);
    return true;
}

bool read_size(const char16_t*& p, arg_size& size)
{
    switch (*p) {
    case u'h':
        ++p;
        size = arg_size::h;
        if (*p == u'h') {
            ++p;
            size = arg_size::hh;
        }
        return true;
    case u'l':
        ++p;
        size = arg_size::l;
        if (*p == u'l') {
            ++p;
            size = arg_size::ll;
        }
        return true;
    case u'L':
        ++p;
        size = arg_size::ld;
        return true;
    case u'w':
        ++p;
        size = arg_size::wide;
        return true;
    case u'z':
    case u't':
    case u'j':
        ++p;
        size = arg_size::ll;
        return true;
    case u'I':
        ++p;
        if (p[0] == u'6' && p[1] == u'4') {
            p += 2;
            size = arg_size::ll;
        } else if (p[0] == u'3' && p[1] == u'2') {
            p += 2;
            size = arg_size::none;
        } else {
            size = arg_size::ll; // pointer-sized
        }
        return true;
    default:
        return true;
    }
}

void append_padded(std::u16string& out, std::u16string_view body, const conversion& c)
{
    const size_t width = c.width > 0 ? static_cast<size_t>(c.width) : 0;
    if (body.size() >= width) {
        out += body;
        return;
    }
    const size_t pad = width - body.size();
    if (c.left) {
        out += body;
        out.append(pad, u' ');
    } else {
        out.append(pad, c.zero ? u'0' : u' ');
        out += body;
    }
}

std::string c_directive(const conversion& c, const char* length)
{
    std::string directive = "%" + c.flags;
    if (c.width >= 0) {
        directive += std::to_string(c.width);
    }
    if (c.precision >= 0) {
        directive += "." + std::to_string(c.precision);
    }
    directive += length;
    directive += static_cast<char>(c.kind);
    return directive;
}

// Numeric conversions go to the C runtime one at a time; their output is ASCII.
template <typename T> bool append_c(std::u16string& out, const std::string& directive, T value)
{
    const int n = snprintf(nullptr, 0, directive.c_str(), value);
    if (n < 0) {
        return false;
    }
    std::string buffer(static_cast<size_t>(n) + 1, '\0');
    snprintf(buffer.data(), buffer.size(), directive.c_str(), value);
    for (int i = 0; i < n; ++i) {
        out.push_back(static_cast<unsigned char>(buffer[static_cast<size_t>(i)]));
    }
    return true;
}

bool append_signed(std::u16string& out, const conversion& c, va_list* args)
{
    switch (c.size) {
    case arg_size::hh:
        return append_c(out, c_directive(c, "hh"), static_cast<signed char>(va_arg(*args, int)));
    case arg_size::h:
        return append_c(out, c_directive(c, "h"), static_cast<short>(va_arg(*args, int)));
    case arg_size::none:
    case arg_size::l:
    case arg_size::wide:
        return append_c(out, c_directive(c, ""), va_arg(*args, int));
    case arg_size::ll:
    case arg_size::ld:
        return append_c(out, c_directive(c, "ll"), va_arg(*args, long long));
    }
    return false;
}

bool append_unsigned(std::u16string& out, const conversion& c, va_list* args)
{
    switch (c.size) {
    case arg_size::hh:
        return append_c(out, c_directive(c, "hh"), static_cast<unsigned char>(va_arg(*args, int)));
    case arg_size::h:
        return append_c(out, c_directive(c, "h"), static_cast<unsigned short>(va_arg(*args, int)));
    case arg_size::none:
    case arg_size::l:
    case arg_size::wide:
        return append_c(out, c_directive(c, ""), va_arg(*args, unsigned int));
    case arg_size::ll:
    case arg_size::ld:
        return append_c(out, c_directive(c, "ll"), va_arg(*args, unsigned long long));
    }
    return false;
}

bool append_floating(std::u16string& out, const conversion& c, va_list* args)
{
    if (c.size == arg_size::ld) {
        return append_c(out, c_directive(c, "L"), va_arg(*args, long double));
    }
    if (c.size != arg_size::none && c.size != arg_size::l) {
        return false;
    }
    return append_c(out, c_directive(c, ""), va_arg(*args, double));
}

// Lower-case s and c are wide unless h asks for narrow; upper-case S and C the other way round.
bool is_narrow(const conversion& c, bool upper)
{
    if (c.size == arg_size::h) {
        return true;
    }
    if (c.size == arg_size::l || c.size == arg_size::wide) {
        return false;
    }
    return upper;
}

bool append_string(std::u16string& out, const conversion& c, va_list* args)
{
    if (c.size != arg_size::none && c.size != arg_size::h && c.size != arg_size::l &&
        c.size != arg_size::wide) {
        return false;
    }
    const size_t limit = c.precision >= 0 ? static_cast<size_t>(c.precision) : SIZE_MAX;
    if (is_narrow(c, c.kind == u'S')) {
        const char* text = va_arg(*args, const char*);
        if (text == nullptr) {
            text = "(null)";
        }
        // Never read past the precision: the argument need not be terminated there.
        append_padded(out, Utf8ToWide(std::string_view(text, strnlen(text, limit))), c);
        return true;
    }
    const char16_t* text = va_arg(*args, const char16_t*);
    if (text == nullptr) {
        text = u"(null)";
    }
    size_t length = 0;
    while (length < limit && text[length] != 0) {
        ++length;
    }
    append_padded(out, std::u16string_view(text, length), c);
    return true;
}

bool append_char(std::u16string& out, const conversion& c, va_list* args)
{
    if (c.size != arg_size::none && c.size != arg_size::h && c.size != arg_size::l &&
        c.size != arg_size::wide) {
        return false;
    }
    const int value = va_arg(*args, int);
    if (is_narrow(c, c.kind == u'C')) {
        const char byte = static_cast<char>(value);
        append_padded(out, Utf8ToWide(std::string_view(&byte, 1)), c);
    } else {
        const char16_t unit = static_cast<char16_t>(value);
        append_padded(out, std::u16string_view(&unit, 1), c);
    }
    return true;
}

bool append_pointer(std::u16string& out, const conversion& c, va_list* args)
{
    const auto value = reinterpret_cast<uintptr_t>(va_arg(*args, void*));
    char digits[2 * sizeof(uintptr_t) + 1];
    snprintf(digits, sizeof(digits), "%0*llX", static_cast<int>(2 * sizeof(uintptr_t)),
             static_cast<unsigned long long>(value));
    conversion padding = c;
    padding.zero = false;
    std::u16string body(digits, digits + strlen(digits));
    append_padded(out, body, padding);
    return true;
}

bool append_conversion(std::u16string& out, const conversion& c, va_list* args)
{
    switch (c.kind) {
    case u'd':
    case u'i':
        return append_signed(out, c, args);
    case u'u':
    case u'o':
    case u'x':
    case u'X':
        return append_unsigned(out, c, args);
    case u'f':
    case u'F':
    case u'e':
    case u'E':
    case u'g':
    case u'G':
    case u'a':
    case u'A':
        return append_floating(out, c, args);
    case u's':
    case u'S':
        return append_string(out, c, args);
    case u'c':
    case u'C':
        return append_char(out, c, args);
    case u'p':
        return append_pointer(out, c, args);
    default:
        // %n among them: writing through an argument is never allowed.
        return false;
    }
}

// Parses one conversion after its '%', taking '*' fields from the arguments.
bool parse_conversion(const char16_t*& p, conversion& c, va_list* args)
{
    for (;; ++p) {
        const char16_t f = *p;
        if (f != u'-' && f != u'+' && f != u' ' && f != u'#' && f != u'0') {
            break;
        }
        c.left |= f == u'-';
        c.zero |= f == u'0';
        c.flags.push_back(static_cast<char>(f));
    }
    if (*p == u'*') {
        ++p;
        int width = va_arg(*args, int);
        if (width < 0) {
            if (width == INT_MIN) {
                return false;
            }
            c.left = true;
            c.flags.push_back('-');
            width = -width;
        }
        c.width = width;
    } else if (*p >= u'0' && *p <= u'9') {
        if (!read_count(p, c.width)) {
            return false;
        }
    }
    if (*p == u'.') {
        ++p;
        if (*p == u'*') {
            ++p;
            const int precision = va_arg(*args, int);
            c.precision = precision < 0 ? -1 : precision;
        } else {
            c.precision = 0;
            if (!read_count(p, c.precision)) {
                return false;
            }
        }
    }
    if (c.left) {
        c.zero = false;
    }
    if (!read_size(p, c.size) || *p == 0) {
        return false;
    }
    c.kind = *p++;
    return true;
}

bool format_into(std::u16string& out, const char16_t* format, va_list* args)
{
    for (const char16_t* p = format; *p != 0;) {
        if (*p != u'%') {
            out.push_back(*p++);
            continue;
        }
        ++p;
        if (*p == u'%') {
            out.push_back(*p++);
            continue;
        }
        conversion c;
        if (!parse_conversion(p, c, args) || !append_conversion(out, c, args)) {
            return false;
        }
    }
    return true;
}

} // namespace
} // namespace detail

std::u16string FormatTextV(const char16_t* format, va_list args)
{
    std::u16string out;
    if (format == nullptr) {
        return out;
    }
    va_list copy;
    va_copy(copy, args);
    const bool ok = detail::format_into(out, format, &copy);
    va_end(copy);
    if (!ok) {
        out.clear();
    }
    return out;
}

std::u16string FormatText(const char16_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::u16string out = FormatTextV(format, args);
    va_end(args);
    return out;
}

std::vector<std::u16string> SplitText(std::u16string_view text, char16_t separator, bool keepEmpty)
{
    std::vector<std::u16string> pieces;
    if (text.empty()) {
        return pieces;
    }
    std::u16string piece;
    for (const char16_t unit : text) {
        if (unit != separator) {
            piece.push_back(unit);
            continue;
        }
        if (!piece.empty() || keepEmpty) {
            pieces.push_back(piece);
        }
        piece.clear();
    }
    if (!piece.empty() || keepEmpty) {
        pieces.push_back(piece);
    }
    return pieces;
}

std::vector<std::u16string> SplitText(const char16_t* text, char16_t separator, bool keepEmpty)
{
    if (text == nullptr) {
        return {};
    }
    return SplitText(std::u16string_view(text), separator, keepEmpty);
}
