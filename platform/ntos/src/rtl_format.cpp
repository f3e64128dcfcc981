// The formatter behind DbgPrint and the RtlStringCch*Printf family.
#include "rtl_format.h"

#include <hostns/hostns.h>
#include <ntifs.h>

#include <cstdio>
#include <cstring>

namespace ntos::detail {

namespace {

// Printed text is for people: lone surrogates show as U+FFFD, and narrow text is read as UTF-8,
// the ANSI code page of this system.
std::string printable_utf8(const char16_t* text, size_t length)
{
    return hostns::to_utf8(std::u16string_view(text, length), hostns::utf8_policy::display);
}

std::u16string printable_utf16(const char* text, size_t length)
{
    return hostns::from_utf8(std::string_view(text, length), hostns::utf8_policy::display);
}

} // namespace

namespace {

template <typename Char> struct sink {
    std::basic_string<Char> text;
    void narrow(const std::string& s)
    {
        if constexpr (sizeof(Char) == 1)
            text += s;
        else
            text += printable_utf16(s.data(), s.size());
    }
    void wide(const std::u16string& s)
    {
        if constexpr (sizeof(Char) == 1)
            text += printable_utf8(s.data(), s.size());
        else
            text += s;
    }
};

struct directive {
    std::string flags;
    int width = -1;
    int precision = -1;
    int size = 32; // bits of an integer argument
    bool wide_arg = false;
    bool narrow_arg = false;
};

// Pads a converted piece to the width; text is already in the output's form.
template <typename Char>
void pad(sink<Char>& out, std::basic_string<Char> piece, const directive& s)
{
    bool left = s.flags.find('-') != std::string::npos;
    if (s.width > 0 && piece.size() < static_cast<size_t>(s.width)) {
        std::basic_string<Char> fill(s.width - piece.size(), Char(' '));
        piece = left ? piece + fill : fill + piece;
    }
    out.text += piece;
}

template <typename Char> std::basic_string<Char> from_ascii(const std::string& s)
{
    return std::basic_string<Char>(s.begin(), s.end());
}

template <typename Char> std::basic_string<Char> convert_narrow(const char* p, size_t n)
{
    if constexpr (sizeof(Char) == 1)
        return std::string(p, n);
    else
        return printable_utf16(p, n);
}

template <typename Char> std::basic_string<Char> convert_wide(const char16_t* p, size_t n)
{
    if constexpr (sizeof(Char) == 1)
        return printable_utf8(p, n);
    else
        return std::u16string(p, n);
}

template <typename Char> std::basic_string<Char> format(const Char* format, va_list args)
{
    sink<Char> out;
    if (!format)
        return {};
    for (const Char* p = format; *p;) {
        if (*p != Char('%')) {
            out.text += *p++;
            continue;
        }
        const Char* start = p++;
        if (*p == Char('%')) {
            out.text += Char('%');
            ++p;
            continue;
        }
        directive s;
        while (*p == Char('-') || *p == Char('+') || *p == Char(' ') || *p == Char('#') ||
               *p == Char('0'))
            s.flags += static_cast<char>(*p++);
        if (*p == Char('*')) {
            s.width = va_arg(args, int);
            if (s.width < 0) {
                s.flags += '-';
                s.width = -s.width;
            }
            ++p;
        } else {
            while (*p >= Char('0') && *p <= Char('9'))
                s.width = (s.width < 0 ? 0 : s.width * 10) + (*p++ - Char('0'));
        }
        if (*p == Char('.')) {
            ++p;
            s.precision = 0;
            if (*p == Char('*')) {
                s.precision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= Char('0') && *p <= Char('9'))
                    s.precision = s.precision * 10 + (*p++ - Char('0'));
            }
        }
        // Size prefixes.
        if (p[0] == Char('I') && p[1] == Char('6') && p[2] == Char('4')) {
            s.size = 64;
            p += 3;
        } else if (p[0] == Char('I') && p[1] == Char('3') && p[2] == Char('2')) {
            s.size = 32;
            p += 3;
        } else if (*p == Char('I') || *p == Char('z') || *p == Char('j') || *p == Char('t')) {
            s.size = 64;
            ++p;
        } else if (p[0] == Char('l') && p[1] == Char('l')) {
            s.size = 64;
            p += 2;
        } else if (*p == Char('l')) {
            s.size = 32;
            s.wide_arg = true; // %ls, %lc are wide
            ++p;
        } else if (p[0] == Char('h') && p[1] == Char('h')) {
            s.size = 8;
            p += 2;
        } else if (*p == Char('h')) {
            s.size = 16;
            s.narrow_arg = true;
            ++p;
        } else if (*p == Char('w')) {
            s.wide_arg = true;
            ++p;
        } else if (*p == Char('L')) {
            ++p;
        }
        Char conversion = *p;
        if (!conversion) {
            out.text += std::basic_string<Char>(start, p);
            break;
        }
        ++p;
        constexpr bool wide_out = sizeof(Char) != 1;
        switch (conversion) {
        case 'd':
        case 'i':
        case 'u':
        case 'o':
        case 'x':
        case 'X': {
            bool is_signed = conversion == 'd' || conversion == 'i';
            unsigned long long value;
            long long signed_value;
            if (s.size == 64) {
                signed_value = va_arg(args, long long);
                value = static_cast<unsigned long long>(signed_value);
            } else {
                int v = va_arg(args, int);
                if (s.size == 16)
                    v = is_signed ? static_cast<short>(v) : static_cast<unsigned short>(v);
                else if (s.size == 8)
                    v = is_signed ? static_cast<signed char>(v) : static_cast<unsigned char>(v);
                signed_value = v;
                value = static_cast<unsigned int>(v);
                if (s.size == 16 && !is_signed)
                    value = static_cast<unsigned short>(v);
                if (s.size == 8 && !is_signed)
                    value = static_cast<unsigned char>(v);
            }
            std::string fmt = "%";
            fmt += s.flags;
            if (s.width >= 0)
                fmt += std::to_string(s.width);
            if (s.precision >= 0) {
                fmt += '.';
                fmt += std::to_string(s.precision);
            }
            fmt += "ll";
            fmt += static_cast<char>(conversion);
            char buffer[128];
            if (is_signed)
                snprintf(buffer, sizeof(buffer), fmt.c_str(), signed_value);
            else
                snprintf(buffer, sizeof(buffer), fmt.c_str(), value);
            out.text += from_ascii<Char>(buffer);
            break;
        }
        case 'p': {
            char buffer[32];
            snprintf(
                buffer, sizeof(buffer), "%016llX",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
            pad(out, from_ascii<Char>(buffer), s);
            break;
        }
        case 'c':
        case 'C': {
            int v = va_arg(args, int);
            bool wide_char = s.wide_arg || (!s.narrow_arg && ((conversion == 'c') == wide_out));
            std::basic_string<Char> piece;
            if (wide_char) {
                char16_t c = static_cast<char16_t>(v);
                piece = convert_wide<Char>(&c, 1);
            } else {
                char c = static_cast<char>(v);
                piece = convert_narrow<Char>(&c, 1);
            }
            pad(out, piece, s);
            break;
        }
        case 's':
        case 'S': {
            bool wide_text = s.wide_arg || (!s.narrow_arg && ((conversion == 's') == wide_out));
            std::basic_string<Char> piece;
            if (wide_text) {
                auto* text = va_arg(args, const char16_t*);
                if (!text) {
                    piece = from_ascii<Char>("(null)");
                } else {
                    size_t n = 0;
                    while ((s.precision < 0 || n < static_cast<size_t>(s.precision)) && text[n])
                        ++n;
                    piece = convert_wide<Char>(text, n);
                }
            } else {
                auto* text = va_arg(args, const char*);
                if (!text) {
                    piece = from_ascii<Char>("(null)");
                } else {
                    size_t n = 0;
                    while ((s.precision < 0 || n < static_cast<size_t>(s.precision)) && text[n])
                        ++n;
                    piece = convert_narrow<Char>(text, n);
                }
            }
            pad(out, piece, s);
            break;
        }
        case 'Z': {
            std::basic_string<Char> piece;
            if (s.wide_arg) {
                auto* string = va_arg(args, PCUNICODE_STRING);
                if (!string || !string->Buffer)
                    piece = from_ascii<Char>("(null)");
                else
                    piece = convert_wide<Char>(string->Buffer, string->Length / sizeof(WCHAR));
            } else {
                auto* string = va_arg(args, PCANSI_STRING);
                if (!string || !string->Buffer)
                    piece = from_ascii<Char>("(null)");
                else
                    piece = convert_narrow<Char>(string->Buffer, string->Length);
            }
            pad(out, piece, s);
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            std::string fmt = "%";
            fmt += s.flags;
            if (s.width >= 0)
                fmt += std::to_string(s.width);
            if (s.precision >= 0) {
                fmt += '.';
                fmt += std::to_string(s.precision);
            }
            fmt += static_cast<char>(conversion);
            char buffer[512];
            snprintf(buffer, sizeof(buffer), fmt.c_str(), va_arg(args, double));
            out.text += from_ascii<Char>(buffer);
            break;
        }
        case 'n':
            (void)va_arg(args, void*);
            break;
        default:
            // Unknown conversions are copied as they stand.
            out.text += std::basic_string<Char>(start, p);
            break;
        }
    }
    return out.text;
}

} // namespace

std::string format_narrow(const char* fmt, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    std::string text = format<char>(fmt, copy);
    va_end(copy);
    return text;
}

std::u16string format_wide(const char16_t* fmt, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    std::u16string text = format<char16_t>(fmt, copy);
    va_end(copy);
    return text;
}

} // namespace ntos::detail
