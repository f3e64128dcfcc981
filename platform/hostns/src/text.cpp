// Text conversions and the lexical forms of DOS and NT paths.
#include "hostns/hostns.h"
#include "internal.h"

#include <cstdlib>

namespace hostns {

std::string to_utf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string from_utf8(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        unsigned char b = text[i];
        uint32_t c;
        size_t n;
        if (b < 0x80) {
            c = b;
            n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            n = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            n = 4;
        } else {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        bool ok = i + n <= text.size();
        for (size_t k = 1; ok && k < n; ++k) {
            unsigned char cont = text[i + k];
            if ((cont & 0xC0) != 0x80)
                ok = false;
            else
                c = (c << 6) | (cont & 0x3F);
        }
        static const uint32_t min_for_length[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!ok || c < min_for_length[n] || c > 0x10FFFF) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += char16_t(0xD800 + (c >> 10));
            out += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            out += char16_t(c);
        }
        i += n;
    }
    return out;
}

std::string runtime_root()
{
    const char* r = std::getenv("LOCKBIN_ROOT");
    return r && *r ? std::string(r) : std::string("/run/lockbin");
}

std::u16string drive_name(char16_t letter)
{
    char16_t up = detail::upper(letter);
    if (up < u'A' || up > u'Z')
        return {};
    return std::u16string{up, u':'};
}

namespace detail {

char16_t upper(char16_t c)
{
    return c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c;
}

bool iequal(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i]))
            return false;
    return true;
}

bool istarts_with(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && iequal(text.substr(0, prefix.size()), prefix);
}

bool is_drive_name(std::u16string_view name)
{
    return name.size() == 2 && name[1] == u':' && upper(name[0]) >= u'A' && upper(name[0]) <= u'Z';
}

std::vector<std::u16string_view> split(std::u16string_view path)
{
    std::vector<std::u16string_view> parts;
    size_t i = 0;
    while (i < path.size()) {
        size_t j = i;
        while (j < path.size() && path[j] != u'\\' && path[j] != u'/')
            ++j;
        if (j > i)
            parts.push_back(path.substr(i, j - i));
        i = j + 1;
    }
    return parts;
}

std::string escape(std::u16string_view name)
{
    std::string raw = to_utf8(name), out;
    static const char hex[] = "0123456789ABCDEF";
    for (unsigned char c : raw) {
        if (c == '%' || c == '/' || c == '\\' || c == 0) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += char(c);
        }
    }
    return out;
}

std::u16string unescape(std::string_view file_name)
{
    std::string raw;
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    for (size_t i = 0; i < file_name.size(); ++i) {
        if (file_name[i] == '%' && i + 2 < file_name.size() && digit(file_name[i + 1]) >= 0 &&
            digit(file_name[i + 2]) >= 0) {
            raw += char(digit(file_name[i + 1]) * 16 + digit(file_name[i + 2]));
            i += 2;
        } else {
            raw += file_name[i];
        }
    }
    return from_utf8(raw);
}

} // namespace detail

Status dos_to_nt(std::u16string_view path, std::u16string& nt_path)
{
    auto sep = [](char16_t c) { return c == u'\\' || c == u'/'; };
    if (path.size() >= 4 && sep(path[0]) && sep(path[1]) && (path[2] == u'?' || path[2] == u'.') &&
        sep(path[3])) {
        std::u16string_view rest = path.substr(4);
        if (rest.empty())
            return Status::invalid_name;
        if (path[2] == u'?') {
            // Taken as it stands, as Windows does; the resolver refuses '.' and '..' later.
            nt_path = u"\\??\\";
            nt_path.append(rest);
            return Status::ok;
        }
        path = rest;
        nt_path = u"\\??";
        for (auto part : detail::split(path)) {
            nt_path += u'\\';
            nt_path.append(part);
        }
        return Status::ok;
    }
    if (path.size() >= 2 && sep(path[0]) && sep(path[1]))
        return Status::unsupported;
    if (path.size() < 2 || path[1] != u':' || !detail::is_drive_name(path.substr(0, 2)))
        return Status::path_not_found;

    std::vector<std::u16string_view> kept;
    for (auto part : detail::split(path.substr(2))) {
        if (part == u".")
            continue;
        if (part == u"..") {
            if (!kept.empty())
                kept.pop_back();
            continue;
        }
        kept.push_back(part);
    }
    nt_path = u"\\??\\";
    nt_path += drive_name(path[0]);
    for (auto part : kept) {
        nt_path += u'\\';
        nt_path.append(part);
    }
    if (kept.empty())
        nt_path += u'\\';
    return Status::ok;
}

} // namespace hostns
