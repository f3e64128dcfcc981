// Reading response headers and splitting URLs.
#include "winhttp.h"

#include "errhandlingapi.h"
#include "winerror.h"
#include "winhttp_request.h"

#include <cstring>
#include <iterator>
#include <string>
#include <strings.h>

using namespace win32::detail::http;

namespace {

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// Header names of the query levels that name one header; null for the levels that do not.
const char* const kLevelNames[] = {"MIME-Version",
                                   "Content-Type",
                                   "Content-Transfer-Encoding",
                                   "Content-ID",
                                   "Content-Description",
                                   "Content-Length",
                                   "Content-Language",
                                   "Allow",
                                   "Public",
                                   "Date",
                                   "Expires",
                                   "Last-Modified",
                                   "Message-ID",
                                   "URI",
                                   "Derived-From",
                                   "Cost",
                                   "Link",
                                   "Pragma",
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr, // version, status code and text, raw headers
                                   "Connection",
                                   "Accept",
                                   "Accept-Charset",
                                   "Accept-Encoding",
                                   "Accept-Language",
                                   "Authorization",
                                   "Content-Encoding",
                                   "Forwarded",
                                   "From",
                                   "If-Modified-Since",
                                   "Location",
                                   "Orig-URI",
                                   "Referer",
                                   "Retry-After",
                                   "Server",
                                   "Title",
                                   "User-Agent",
                                   "WWW-Authenticate",
                                   "Proxy-Authenticate",
                                   "Accept-Ranges",
                                   "Set-Cookie",
                                   "Cookie",
                                   nullptr, // request method
                                   "Refresh",
                                   "Content-Disposition",
                                   "Age",
                                   "Cache-Control",
                                   "Content-Base",
                                   "Content-Location",
                                   "Content-MD5",
                                   "Content-Range",
                                   "ETag",
                                   "Host",
                                   "If-Match",
                                   "If-None-Match",
                                   "If-Range",
                                   "If-Unmodified-Since",
                                   "Max-Forwards",
                                   "Proxy-Authorization",
                                   "Range",
                                   "Transfer-Encoding",
                                   "Upgrade",
                                   "Vary",
                                   "Via",
                                   "Warning",
                                   "Expect",
                                   "Proxy-Connection",
                                   "Unless-Modified-Since"};
static_assert(sizeof(kLevelNames) / sizeof(kLevelNames[0]) ==
              WINHTTP_QUERY_UNLESS_MODIFIED_SINCE + 1);

enum class Lookup { found, missing, invalid };

// The status line's parts: "HTTP/1.1 200 OK" gives version, code and text.
std::string status_part(const std::string& line, int part)
{
    const auto first = line.find(' ');
    if (part == 0 || first == std::string::npos)
        return part == 0 ? line.substr(0, first) : std::string();
    const auto second = line.find(' ', first + 1);
    if (part == 1)
        return line.substr(first + 1,
                           second == std::string::npos ? std::string::npos : second - first - 1);
    return second == std::string::npos ? std::string() : line.substr(second + 1);
}

Lookup find_value(const Request& request, DWORD info, DWORD modifiers, LPCWSTR name, DWORD index,
                  std::u16string& value)
{
    if (modifiers & WINHTTP_QUERY_FLAG_REQUEST_HEADERS) {
        std::string wanted;
        if (info == WINHTTP_QUERY_CUSTOM)
            wanted = narrow(name);
        else if (info < std::size(kLevelNames) && kLevelNames[info])
            wanted = kLevelNames[info];
        else
            return Lookup::invalid;
        for (const auto& [header, text] : request.headers) {
            if (strcasecmp(header.c_str(), wanted.c_str()) == 0 && index-- == 0) {
                value = widen_latin1(text);
                return Lookup::found;
            }
        }
        return Lookup::missing;
    }

    const std::string& status = request.status_line();
    switch (info) {
    case WINHTTP_QUERY_VERSION:
    case WINHTTP_QUERY_STATUS_CODE:
    case WINHTTP_QUERY_STATUS_TEXT:
        if (index != 0)
            return Lookup::missing;
        value = widen_latin1(status_part(status, info - WINHTTP_QUERY_VERSION));
        return Lookup::found;
    case WINHTTP_QUERY_RAW_HEADERS:
    case WINHTTP_QUERY_RAW_HEADERS_CRLF: {
        if (index != 0)
            return Lookup::missing;
        const bool crlf = info == WINHTTP_QUERY_RAW_HEADERS_CRLF;
        std::string raw = status + (crlf ? "\r\n" : std::string(1, '\0'));
        for (const std::string& line : request.header_lines())
            raw += line + (crlf ? "\r\n" : std::string(1, '\0'));
        raw += crlf ? "\r\n" : std::string(1, '\0');
        value = widen_latin1(raw);
        return Lookup::found;
    }
    case WINHTTP_QUERY_CUSTOM:
        if (!name || !*name)
            return Lookup::invalid;
        break;
    default:
        if (info >= std::size(kLevelNames) || !kLevelNames[info])
            return Lookup::invalid;
    }
    std::string text;
    if (!request.header_value(info == WINHTTP_QUERY_CUSTOM ? narrow(name) : kLevelNames[info],
                              index, text))
        return Lookup::missing;
    value = widen_latin1(text);
    return Lookup::found;
}

} // namespace

BOOL WINAPI WinHttpQueryHeaders(HINTERNET hRequest, DWORD dwInfoLevel, LPCWSTR pwszName,
                                LPVOID lpBuffer, LPDWORD lpdwBufferLength, LPDWORD lpdwIndex)
{
    auto object = lookup(hRequest);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    if (object->kind != Kind::request)
        return fail(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    const auto& request = static_cast<const Request&>(*object);
    if (!lpdwBufferLength)
        return fail(ERROR_INVALID_PARAMETER);

    const DWORD info = dwInfoLevel & 0xFFFF;
    const DWORD modifiers = dwInfoLevel & 0xFFFF0000;
    const DWORD known = WINHTTP_QUERY_FLAG_REQUEST_HEADERS | WINHTTP_QUERY_FLAG_NUMBER |
                        WINHTTP_QUERY_FLAG_NUMBER64;
    if ((modifiers & ~known) ||
        (modifiers & WINHTTP_QUERY_FLAG_NUMBER && modifiers & WINHTTP_QUERY_FLAG_NUMBER64))
        return fail(ERROR_INVALID_PARAMETER);
    if (!(modifiers & WINHTTP_QUERY_FLAG_REQUEST_HEADERS) && !request.headers_ready())
        return fail(ERROR_WINHTTP_INCORRECT_HANDLE_STATE);

    std::u16string value;
    switch (find_value(request, info, modifiers, pwszName, lpdwIndex ? *lpdwIndex : 0, value)) {
    case Lookup::invalid:
        return fail(ERROR_INVALID_PARAMETER);
    case Lookup::missing:
        return fail(ERROR_WINHTTP_HEADER_NOT_FOUND);
    case Lookup::found:
        break;
    }

    if (modifiers & (WINHTTP_QUERY_FLAG_NUMBER | WINHTTP_QUERY_FLAG_NUMBER64)) {
        const bool wide = modifiers & WINHTTP_QUERY_FLAG_NUMBER64;
        const DWORD need = wide ? sizeof(ULONGLONG) : sizeof(DWORD);
        const std::string digits = narrow(value.c_str());
        char* end = nullptr;
        const unsigned long long number = std::strtoull(digits.c_str(), &end, 10);
        if (digits.empty() || end == digits.c_str())
            return fail(ERROR_WINHTTP_INVALID_QUERY_REQUEST);
        if (!lpBuffer || *lpdwBufferLength < need) {
            *lpdwBufferLength = need;
            return fail(ERROR_INSUFFICIENT_BUFFER);
        }
        if (wide)
            *static_cast<ULONGLONG*>(lpBuffer) = number;
        else
            *static_cast<DWORD*>(lpBuffer) = static_cast<DWORD>(number);
        *lpdwBufferLength = need;
    } else {
        const DWORD need = static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR));
        if (!lpBuffer || *lpdwBufferLength < need) {
            *lpdwBufferLength = need;
            return fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(lpBuffer, value.c_str(), need);
        *lpdwBufferLength = need - sizeof(WCHAR);
    }
    if (lpdwIndex)
        ++*lpdwIndex;
    return TRUE;
}

namespace {

struct Piece {
    size_t start = 0;
    size_t length = 0;
};

// Hands one component back as the caller asked: not at all, as a position in the URL, or copied.
DWORD give(const WCHAR* url, Piece piece, LPWSTR& pointer, DWORD& length)
{
    if (!pointer && length == 0)
        return ERROR_SUCCESS;
    if (!pointer) {
        pointer = const_cast<LPWSTR>(url + piece.start);
        length = static_cast<DWORD>(piece.length);
        return ERROR_SUCCESS;
    }
    if (length < piece.length + 1) {
        length = static_cast<DWORD>(piece.length + 1);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(pointer, url + piece.start, piece.length * sizeof(WCHAR));
    pointer[piece.length] = 0;
    length = static_cast<DWORD>(piece.length);
    return ERROR_SUCCESS;
}

bool equals_ascii_nocase(std::u16string_view text, const char* ascii)
{
    if (text.size() != std::strlen(ascii))
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
        if (c != static_cast<unsigned char>(ascii[i]))
            return false;
    }
    return true;
}

} // namespace

BOOL WINAPI WinHttpCrackUrl(LPCWSTR pwszUrl, DWORD dwUrlLength, DWORD dwFlags,
                            LPURL_COMPONENTS lpUrlComponents)
{
    if (!pwszUrl || !lpUrlComponents || lpUrlComponents->dwStructSize != sizeof(URL_COMPONENTS) ||
        (dwFlags & ~DWORD(ICU_REJECT_USERPWD)))
        return fail(ERROR_INVALID_PARAMETER);
    const std::u16string_view url =
        dwUrlLength ? std::u16string_view(pwszUrl, dwUrlLength) : std::u16string_view(pwszUrl);

    const size_t colon = url.find(u"://");
    if (colon == std::u16string_view::npos || colon == 0)
        return fail(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    const std::u16string_view scheme_text = url.substr(0, colon);
    INTERNET_SCHEME scheme;
    INTERNET_PORT port;
    if (equals_ascii_nocase(scheme_text, "http")) {
        scheme = INTERNET_SCHEME_HTTP, port = INTERNET_DEFAULT_HTTP_PORT;
    } else if (equals_ascii_nocase(scheme_text, "https")) {
        scheme = INTERNET_SCHEME_HTTPS, port = INTERNET_DEFAULT_HTTPS_PORT;
    } else if (equals_ascii_nocase(scheme_text, "ftp")) {
        scheme = INTERNET_SCHEME_FTP, port = 21;
    } else {
        return fail(ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
    }

    const size_t authority = colon + 3;
    size_t path_start = url.find_first_of(u"/?#", authority);
    if (path_start == std::u16string_view::npos)
        path_start = url.size();
    Piece user, password, host{authority, path_start - authority}, path, extra;
    const size_t at = url.substr(0, path_start).rfind(u'@');
    if (at != std::u16string_view::npos && at >= authority) {
        if (dwFlags & ICU_REJECT_USERPWD)
            return fail(ERROR_WINHTTP_INVALID_URL);
        const size_t sep = url.substr(0, at).find(u':', authority);
        if (sep != std::u16string_view::npos) {
            user = {authority, sep - authority};
            password = {sep + 1, at - sep - 1};
        } else {
            user = {authority, at - authority};
        }
        host = {at + 1, path_start - at - 1};
    }
    // A port follows the last colon, unless that colon is inside an IPv6 literal.
    const std::u16string_view host_text = url.substr(host.start, host.length);
    const size_t port_colon = host_text.rfind(u':');
    if (port_colon != std::u16string_view::npos &&
        host_text.find(u']', port_colon) == std::u16string_view::npos) {
        const std::u16string_view digits = host_text.substr(port_colon + 1);
        if (digits.empty() || digits.size() > 5)
            return fail(ERROR_WINHTTP_INVALID_URL);
        unsigned value = 0;
        for (char16_t c : digits) {
            if (c < u'0' || c > u'9')
                return fail(ERROR_WINHTTP_INVALID_URL);
            value = value * 10 + (c - u'0');
        }
        if (value > 65535)
            return fail(ERROR_WINHTTP_INVALID_URL);
        port = static_cast<INTERNET_PORT>(value);
        host.length = port_colon;
    }
    if (host.length == 0)
        return fail(ERROR_WINHTTP_INVALID_URL);

    size_t extra_start = url.find_first_of(u"?#", path_start);
    if (extra_start == std::u16string_view::npos)
        extra_start = url.size();
    path = {path_start, extra_start - path_start};
    extra = {extra_start, url.size() - extra_start};
    URL_COMPONENTS& uc = *lpUrlComponents;
    if (!uc.lpszExtraInfo && uc.dwExtraInfoLength == 0)
        path.length += extra.length;

    const Piece scheme_piece{0, colon};
    DWORD error = give(pwszUrl, scheme_piece, uc.lpszScheme, uc.dwSchemeLength);
    if (!error)
        error = give(pwszUrl, host, uc.lpszHostName, uc.dwHostNameLength);
    if (!error)
        error = give(pwszUrl, user, uc.lpszUserName, uc.dwUserNameLength);
    if (!error)
        error = give(pwszUrl, password, uc.lpszPassword, uc.dwPasswordLength);
    if (!error)
        error = give(pwszUrl, path, uc.lpszUrlPath, uc.dwUrlPathLength);
    if (!error)
        error = give(pwszUrl, extra, uc.lpszExtraInfo, uc.dwExtraInfoLength);
    if (error)
        return fail(error);
    uc.nScheme = scheme;
    uc.nPort = port;
    return TRUE;
}
