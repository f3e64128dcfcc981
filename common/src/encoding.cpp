#include "common/text_encoding.h"

#include <hostns/hostns.h>

#include <bit>
#include <errno.h>
#include <iconv.h>
#include <string.h>

namespace detail {

const char* code_page_charset(uint32_t codePage)
{
    switch (codePage) {
    case CP_ACP:
    case CP_OEMCP:
    case CP_THREAD_ACP:
    case CP_UTF8:
        return "UTF-8";
    case 65000:
        return "UTF-7";
    case 936:
        return "GBK";
    case 54936:
        return "GB18030";
    case 950:
        return "CP950";
    case 932:
        return "CP932";
    case 949:
        return "CP949";
    case 437:
        return "CP437";
    case 850:
        return "CP850";
    case 866:
        return "CP866";
    case 874:
        return "CP874";
    case 1250:
        return "CP1250";
    case 1251:
        return "CP1251";
    case 1252:
        return "CP1252";
    case 1253:
        return "CP1253";
    case 1254:
        return "CP1254";
    case 1255:
        return "CP1255";
    case 1256:
        return "CP1256";
    case 1257:
        return "CP1257";
    case 1258:
        return "CP1258";
    case 20127:
        return "ASCII";
    case 20866:
        return "KOI8-R";
    case 21866:
        return "KOI8-U";
    case 20932:
        return "EUC-JP";
    case 51949:
        return "EUC-KR";
    case 50220:
        return "ISO-2022-JP";
    case 28591:
        return "ISO-8859-1";
    case 28592:
        return "ISO-8859-2";
    case 28595:
        return "ISO-8859-5";
    case 28597:
        return "ISO-8859-7";
    case 28605:
        return "ISO-8859-15";
    default:
        return nullptr;
    }
}

namespace {

constexpr const char* utf16_charset =
    std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

class converter {
public:
    converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~converter()
    {
        if (ok()) {
            iconv_close(cd_);
        }
    }
    converter(const converter&) = delete;
    converter& operator=(const converter&) = delete;

    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // Converts the whole input; at a unit the target cannot take, or a malformed input
    // sequence, writes `replacement()` and skips `skip(in, left)` bytes.
    template <typename Replacement, typename Skip>
    bool run(const char* in, size_t in_left, std::string& out, Replacement replacement, Skip skip)
    {
        char* src = const_cast<char*>(in);
        out.resize(in_left * 2 + 16);
        size_t used = 0;
        // The last round, with no input, lets a stateful encoding write its closing shift.
        for (bool flushed = false; !flushed;) {
            char* dst = out.data() + used;
            size_t room = out.size() - used;
            const bool flushing = in_left == 0;
            const size_t rc = flushing ? iconv(cd_, nullptr, nullptr, &dst, &room)
                                       : iconv(cd_, &src, &in_left, &dst, &room);
            const int error = errno;
            used = out.size() - room;
            if (rc != static_cast<size_t>(-1)) {
                flushed = flushing;
                continue;
            }
            if (error == E2BIG) {
                out.resize(out.size() * 2);
                continue;
            }
            if (flushing || (error != EILSEQ && error != EINVAL)) {
                return false;
            }
            out.resize(used);
            out += replacement();
            used = out.size();
            out.resize(used + in_left * 2 + 16);
            // An incomplete sequence at the end is replaced once, as a whole.
            const size_t n = error == EINVAL ? in_left : skip(src, in_left);
            src += n;
            in_left -= n;
        }
        out.resize(used);
        return true;
    }

private:
    iconv_t cd_;
};

std::string replacement_in(const char* charset, char16_t unit)
{
    converter cv(charset, utf16_charset);
    std::string out;
    const auto none = [] { return std::string(); };
    if (!cv.ok() || !cv.run(reinterpret_cast<const char*>(&unit), sizeof(unit), out, none,
                            [](const char*, size_t left) { return left; })) {
        return {};
    }
    return out;
}

// UTF-8, the ANSI code page of this system, goes through the converter both layers share.
bool is_utf8(const char* charset)
{
    return strcmp(charset, "UTF-8") == 0;
}

bool is_high_surrogate(char16_t u)
{
    return u >= 0xd800 && u <= 0xdbff;
}

bool is_low_surrogate(char16_t u)
{
    return u >= 0xdc00 && u <= 0xdfff;
}

} // namespace
} // namespace detail

std::u16string CodePageToWide(std::string_view text, uint32_t codePage)
{
    const char* charset = detail::code_page_charset(codePage);
    if (charset == nullptr || text.empty()) {
        return {};
    }
    if (detail::is_utf8(charset)) {
        return hostns::from_utf8(text, hostns::utf8_policy::display);
    }
    detail::converter cv(detail::utf16_charset, charset);
    if (!cv.ok()) {
        return {};
    }
    const auto replacement = [] {
        const char16_t unit = 0xfffd;
        return std::string(reinterpret_cast<const char*>(&unit), sizeof(unit));
    };
    std::string bytes;
    const bool done = cv.run(text.data(), text.size(), bytes, replacement,
                             [](const char*, size_t) { return size_t{1}; });
    if (!done) {
        return {};
    }
    std::u16string wide(bytes.size() / sizeof(char16_t), u'\0');
    memcpy(wide.data(), bytes.data(), wide.size() * sizeof(char16_t));
    return wide;
}

std::string WideToCodePage(std::u16string_view text, uint32_t codePage)
{
    const char* charset = detail::code_page_charset(codePage);
    if (charset == nullptr || text.empty()) {
        return {};
    }
    if (detail::is_utf8(charset)) {
        return hostns::to_utf8(text, hostns::utf8_policy::display);
    }
    detail::converter cv(charset, detail::utf16_charset);
    if (!cv.ok()) {
        return {};
    }
    const bool unicode = strcmp(charset, "GB18030") == 0;
    // Made on the first character that needs it; most texts never do.
    std::string replacement_text;
    bool have_replacement = false;
    const auto replacement = [&] {
        if (!have_replacement) {
            replacement_text = detail::replacement_in(charset, unicode ? 0xfffd : u'?');
            have_replacement = true;
        }
        return replacement_text;
    };
    std::string narrow;
    const bool done =
        cv.run(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(char16_t), narrow,
               replacement, [](const char* at, size_t left) {
                   char16_t units[2] = {0, 0};
                   memcpy(units, at, left >= 4 ? 4 : 2);
                   // A whole pair the target lacks is one character.
                   const bool pair = left >= 4 && detail::is_high_surrogate(units[0]) &&
                                     detail::is_low_surrogate(units[1]);
                   return pair ? size_t{4} : size_t{2};
               });
    return done ? narrow : std::string();
}

std::u16string CodePageToWide(const char* text, uint32_t codePage)
{
    return text == nullptr ? std::u16string() : CodePageToWide(std::string_view(text), codePage);
}

std::string WideToCodePage(const char16_t* text, uint32_t codePage)
{
    return text == nullptr ? std::string() : WideToCodePage(std::u16string_view(text), codePage);
}

std::u16string Utf8ToWide(std::string_view text)
{
    return CodePageToWide(text, CP_UTF8);
}

std::u16string Utf8ToWide(const char* text)
{
    return CodePageToWide(text, CP_UTF8);
}

std::string WideToUtf8(std::u16string_view text)
{
    return WideToCodePage(text, CP_UTF8);
}

std::string WideToUtf8(const char16_t* text)
{
    return WideToCodePage(text, CP_UTF8);
}
