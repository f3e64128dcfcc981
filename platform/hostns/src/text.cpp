// Text conversions, the case fold and the lexical forms of DOS and NT paths.
#include "hostns/hostns.h"
#include "internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdlib>

namespace hostns {

namespace {

// What decode_one reports for bytes that are not a well-formed sequence.
constexpr char32_t ill_formed = 0x110000;

// Decodes the sequence at text[at]: sets cp and returns its length, or sets cp to ill_formed and
// returns the length of the maximal ill-formed subpart (the lead byte and the continuation bytes
// that could still have been part of a sequence), so that each gets one U+FFFD. The surrogate
// forms ED A0..BF xx are well-formed only where lone surrogates are kept.
size_t decode_one(std::string_view text, size_t at, bool surrogates, char32_t& cp)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    size_t trail;
    unsigned char low = 0x80, high = 0xBF;
    char32_t c;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trail = 2;
        c = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED && !surrogates)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trail = 3;
        c = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        cp = ill_formed;
        return 1;
    }
    size_t n = 1;
    for (; n <= trail && at + n < text.size(); ++n) {
        const unsigned char b = static_cast<unsigned char>(text[at + n]);
        if (b < low || b > high)
            break;
        c = (c << 6) | (b & 0x3F);
        low = 0x80, high = 0xBF;
    }
    cp = n > trail ? c : ill_formed;
    return n;
}

void append_utf8(std::string& out, char32_t c)
{
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

bool is_high_surrogate(char32_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool is_low_surrogate(char32_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

// A host file name as the fold compares it: each character upper-cased; each byte that is not
// UTF-8 kept apart from every character, so that it matches only itself.
std::u32string fold_key(std::string_view name)
{
    std::u32string key;
    for (size_t at = 0; at < name.size();) {
        char32_t cp;
        const size_t n = decode_one(name, at, true, cp);
        if (cp == ill_formed) {
            for (size_t k = 0; k < n; ++k)
                key += ill_formed + static_cast<unsigned char>(name[at + k]);
        } else {
            key += cp < 0x10000 ? char32_t(upcase(char16_t(cp))) : cp;
        }
        at += n;
    }
    return key;
}

} // namespace

std::string to_utf8(std::u16string_view text, utf8_policy policy)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (is_high_surrogate(c) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (policy == utf8_policy::display &&
                   (is_high_surrogate(c) || is_low_surrogate(c))) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
    }
    return out;
}

std::u16string from_utf8(std::string_view text, utf8_policy policy)
{
    std::u16string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        char32_t c;
        at += decode_one(text, at, policy == utf8_policy::name, c);
        if (c == ill_formed) {
            out += u'\uFFFD';
        } else if (c >= 0x10000) {
            c -= 0x10000;
            out += char16_t(0xD800 + (c >> 10));
            out += char16_t(0xDC00 + (c & 0x3FF));
        } else {
            out += char16_t(c);
        }
    }
    return out;
}

bool is_utf8(std::string_view bytes)
{
    for (size_t at = 0; at < bytes.size();) {
        char32_t c;
        at += decode_one(bytes, at, false, c);
        if (c == ill_formed)
            return false;
    }
    return true;
}

char16_t upcase(char16_t unit)
{
    static const std::array<char16_t, 0x10000> table = [] {
        std::array<char16_t, 0x10000> t;
        for (size_t i = 0; i < t.size(); ++i)
            t[i] = char16_t(i);
        for (size_t i = 0; i < detail::upcase_pair_count; ++i)
            t[detail::upcase_pairs[i].lower] = detail::upcase_pairs[i].upper;
        return t;
    }();
    return table[unit];
}

std::u16string upcase(std::u16string_view text)
{
    std::u16string out(text);
    for (char16_t& c : out)
        c = upcase(c);
    return out;
}

bool iequal(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && upcase(a[i]) != upcase(b[i]))
            return false;
    return true;
}

bool istarts_with(std::u16string_view text, std::u16string_view prefix)
{
    return text.size() >= prefix.size() && iequal(text.substr(0, prefix.size()), prefix);
}

std::string find_entry_ignoring_case(int dir_fd, std::string_view name)
{
    const int fd = ::fcntl(dir_fd, F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return {};
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return {};
    }
    ::rewinddir(dir);
    const std::u32string wanted = fold_key(name);
    std::string match;
    while (dirent* e = ::readdir(dir)) {
        const std::string_view entry = e->d_name;
        if (entry != "." && entry != ".." && fold_key(entry) == wanted) {
            match = entry;
            break;
        }
    }
    ::closedir(dir);
    return match;
}

std::string runtime_root()
{
    const char* r = std::getenv("LOCKBIN_ROOT");
    return r && *r ? std::string(r) : std::string("/run/lockbin");
}

std::u16string drive_name(char16_t letter)
{
    char16_t up = upcase(letter);
    if (up < u'A' || up > u'Z')
        return {};
    return std::u16string{up, u':'};
}

namespace detail {

bool is_drive_name(std::u16string_view name)
{
    return name.size() == 2 && name[1] == u':' && upcase(name[0]) >= u'A' &&
           upcase(name[0]) <= u'Z';
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
