// Bounded strings and the platform's printf dialect for narrow and wide buffers: %s and %c
// name the buffer's own width, %S and %C the other one, %ws/%hs fix it; %wZ and %Z print
// counted strings; I64, I32, I, ll, l, h and z size the integers.
#include "supportex.h"

namespace {

constexpr SIZE_T kMaxChars = 0x7FFFFFFF;

template <class Char> struct Sink {
    Char* buffer;
    SIZE_T capacity;
    SIZE_T length = 0;
    bool cut = false;

    void put(char16_t c)
    {
        if (length + 1 < capacity) {
            buffer[length++] = static_cast<Char>(sizeof(Char) == 1 && c > 0xFF ? u'?' : c);
        } else {
            cut = true;
        }
    }
    void repeat(char16_t c, SIZE_T count)
    {
        for (SIZE_T i = 0; i < count; ++i) {
            put(c);
        }
    }
};

struct Spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;
    bool zero = false;
    int width = 0;
    int precision = -1;
    int size = 0; // 0 int, 1 long long, 2 short, 3 pointer-sized
    int text = 0; // 0 the buffer's own width, 1 wide, 2 narrow
};

template <class Char>
void PutText(Sink<Char>& out, const Spec& spec, const void* text, bool wideText, SIZE_T count)
{
    if (spec.precision >= 0 && count > static_cast<SIZE_T>(spec.precision)) {
        count = static_cast<SIZE_T>(spec.precision);
    }
    SIZE_T pad = spec.width > 0 && static_cast<SIZE_T>(spec.width) > count ? spec.width - count : 0;
    if (!spec.left) {
        out.repeat(u' ', pad);
    }
    for (SIZE_T i = 0; i < count; ++i) {
        out.put(wideText ? static_cast<const char16_t*>(text)[i]
                         : static_cast<char16_t>(static_cast<const unsigned char*>(text)[i]));
    }
    if (spec.left) {
        out.repeat(u' ', pad);
    }
}

template <class T> SIZE_T CountUntilNul(const T* text, int precision)
{
    SIZE_T n = 0;
    while ((precision < 0 || n < static_cast<SIZE_T>(precision)) && text[n] != 0) {
        ++n;
    }
    return n;
}

template <class Char>
void PutNumber(Sink<Char>& out, const Spec& spec, ULONGLONG value, bool negative, int base,
               bool upper, bool isSigned)
{
    char digits[32];
    int n = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    while (value != 0) {
        digits[n++] = set[value % base];
        value /= base;
    }
    int precision = spec.precision < 0 ? 1 : spec.precision;
    int zeros = n < precision ? precision - n : 0;
    char prefix[3] = {};
    int prefixLength = 0;
    if (isSigned && negative) {
        prefix[prefixLength++] = '-';
    } else if (isSigned && spec.plus) {
        prefix[prefixLength++] = '+';
    } else if (isSigned && spec.space) {
        prefix[prefixLength++] = ' ';
    }
    if (spec.alternate && base == 16 && n > 0) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = upper ? 'X' : 'x';
    }
    if (spec.alternate && base == 8 && zeros == 0) {
        zeros = 1;
    }
    int total = prefixLength + zeros + n;
    int pad = spec.width > total ? spec.width - total : 0;
    bool padZeros = spec.zero && !spec.left && spec.precision < 0;
    if (!spec.left && !padZeros) {
        out.repeat(u' ', pad);
    }
    for (int i = 0; i < prefixLength; ++i) {
        out.put(static_cast<char16_t>(prefix[i]));
    }
    if (padZeros) {
        out.repeat(u'0', pad);
    }
    out.repeat(u'0', zeros);
    while (n > 0) {
        out.put(static_cast<char16_t>(digits[--n]));
    }
    if (spec.left) {
        out.repeat(u' ', pad);
    }
}

template <class Char, class FormatChar>
NTSTATUS FormatText(Char* buffer, SIZE_T capacity, const FormatChar* format, va_list args)
{
    if (capacity == 0 || capacity > kMaxChars) {
        return STATUS_INVALID_PARAMETER;
    }
    if (buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    Sink<Char> out{buffer, capacity};
    const bool ownWide = sizeof(Char) == 2;
    for (const FormatChar* p = format; p != nullptr && *p != 0; ++p) {
        if (*p != '%') {
            out.put(static_cast<char16_t>(*p));
            continue;
        }
        ++p;
        Spec spec;
        for (;; ++p) {
            if (*p == '-') {
                spec.left = true;
            } else if (*p == '+') {
                spec.plus = true;
            } else if (*p == ' ') {
                spec.space = true;
            } else if (*p == '#') {
                spec.alternate = true;
            } else if (*p == '0') {
                spec.zero = true;
            } else {
                break;
            }
        }
        if (*p == '*') {
            spec.width = va_arg(args, int);
            if (spec.width < 0) {
                spec.left = true;
                spec.width = -spec.width;
            }
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                spec.width = spec.width * 10 + (*p++ - '0');
            }
        }
        if (*p == '.') {
            ++p;
            spec.precision = 0;
            if (*p == '*') {
                spec.precision = va_arg(args, int);
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') {
                    spec.precision = spec.precision * 10 + (*p++ - '0');
                }
            }
        }
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            spec.size = 1;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            p += 3;
        } else if (*p == 'I' || *p == 'z') {
            spec.size = 3;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            spec.size = 1;
            p += 2;
        } else if (*p == 'l') {
            // long is 32-bit on the platform; "%ls" is a wide string.
            spec.text = 1;
            ++p;
        } else if (*p == 'h') {
            spec.size = 2;
            spec.text = 2;
            ++p;
        } else if (*p == 'w') {
            spec.text = 1;
            ++p;
        }
        if (*p == 0) {
            break;
        }
        switch (*p) {
        case 'd':
        case 'i': {
            LONGLONG v = spec.size == 1   ? va_arg(args, long long)
                         : spec.size == 3 ? static_cast<LONGLONG>(va_arg(args, LONG_PTR))
                         : spec.size == 2 ? static_cast<short>(va_arg(args, int))
                                          : va_arg(args, int);
            ULONGLONG magnitude = v < 0 ? 0 - static_cast<ULONGLONG>(v) : static_cast<ULONGLONG>(v);
            PutNumber(out, spec, magnitude, v < 0, 10, false, true);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            ULONGLONG v = spec.size == 1   ? va_arg(args, unsigned long long)
                          : spec.size == 3 ? static_cast<ULONGLONG>(va_arg(args, ULONG_PTR))
                          : spec.size == 2 ? static_cast<unsigned short>(va_arg(args, unsigned))
                                           : va_arg(args, unsigned);
            int base = *p == 'u' ? 10 : *p == 'o' ? 8 : 16;
            PutNumber(out, spec, v, false, base, *p == 'X', false);
            break;
        }
        case 'p': {
            Spec pointer = spec;
            pointer.precision = sizeof(void*) * 2;
            PutNumber(out, pointer, reinterpret_cast<ULONG_PTR>(va_arg(args, void*)), false, 16,
                      true, false);
            break;
        }
        case 'c':
        case 'C': {
            bool wideChar = spec.text == 1 || (spec.text == 0 && (*p == 'c') == ownWide);
            int v = va_arg(args, int);
            char16_t c = wideChar ? static_cast<char16_t>(v)
                                  : static_cast<char16_t>(static_cast<unsigned char>(v));
            PutText(out, spec, &c, true, 1);
            break;
        }
        case 's':
        case 'S': {
            bool wideText = spec.text == 1 || (spec.text == 0 && (*p == 's') == ownWide);
            const void* text = va_arg(args, const void*);
            if (text == nullptr) {
                PutText(out, spec, "(null)", false, 6);
            } else if (wideText) {
                auto* w = static_cast<const char16_t*>(text);
                PutText(out, spec, w, true, CountUntilNul(w, spec.precision));
            } else {
                auto* a = static_cast<const char*>(text);
                PutText(out, spec, a, false, CountUntilNul(a, spec.precision));
            }
            break;
        }
        case 'Z': {
            if (spec.text == 1) {
                auto* s = va_arg(args, PCUNICODE_STRING);
                if (s == nullptr || s->Buffer == nullptr) {
                    PutText(out, spec, "(null)", false, 6);
                } else {
                    PutText(out, spec, s->Buffer, true, s->Length / sizeof(WCHAR));
                }
            } else {
                auto* s = va_arg(args, PCANSI_STRING);
                if (s == nullptr || s->Buffer == nullptr) {
                    PutText(out, spec, "(null)", false, 6);
                } else {
                    PutText(out, spec, s->Buffer, false, s->Length);
                }
            }
            break;
        }
        case '%':
            out.put(u'%');
            break;
        default:
            // An unknown conversion is printed as it stands.
            out.put(u'%');
            out.put(static_cast<char16_t>(*p));
            break;
        }
    }
    buffer[out.length] = 0;
    return out.cut ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <class Char> NTSTATUS CopyN(Char* dest, SIZE_T destChars, const Char* source, SIZE_T count)
{
    if (destChars == 0 || destChars > kMaxChars || dest == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    SIZE_T n = 0;
    while (n < count && source != nullptr && source[n] != 0) {
        if (n + 1 >= destChars) {
            dest[n] = 0;
            return STATUS_BUFFER_OVERFLOW;
        }
        dest[n] = source[n];
        ++n;
    }
    dest[n] = 0;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS SupportEx_StringCopy(PWSTR Dest, SIZE_T DestChars, PCWSTR Source)
{
    return CopyN(Dest, DestChars, Source, kMaxChars);
}

NTSTATUS SupportEx_StringCopyN(PWSTR Dest, SIZE_T DestChars, PCWSTR Source, SIZE_T Count)
{
    if (Count > kMaxChars) {
        return STATUS_INVALID_PARAMETER;
    }
    return CopyN(Dest, DestChars, Source, Count);
}

NTSTATUS SupportEx_StringCat(PWSTR Dest, SIZE_T DestChars, PCWSTR Source)
{
    if (DestChars == 0 || DestChars > kMaxChars || Dest == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    SIZE_T used = 0;
    while (used < DestChars && Dest[used] != 0) {
        ++used;
    }
    if (used == DestChars) {
        return STATUS_INVALID_PARAMETER; // the destination is not terminated
    }
    return CopyN(Dest + used, DestChars - used, Source, kMaxChars);
}

SIZE_T SupportEx_StringLength(PCWSTR Text, SIZE_T MaxChars)
{
    SIZE_T n = 0;
    while (Text != nullptr && n < MaxChars && Text[n] != 0) {
        ++n;
    }
    return n;
}

NTSTATUS SupportEx_StringVPrintfW(PWSTR Dest, SIZE_T DestChars, PCWSTR Format, va_list Args)
{
    return FormatText(Dest, DestChars, Format, Args);
}

NTSTATUS SupportEx_StringVPrintfA(PCHAR Dest, SIZE_T DestBytes, PCSTR Format, va_list Args)
{
    return FormatText(Dest, DestBytes, Format, Args);
}

NTSTATUS SupportEx_StringPrintfA(PCHAR Dest, SIZE_T DestBytes, PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    NTSTATUS status = FormatText(Dest, DestBytes, Format, args);
    va_end(args);
    return status;
}
