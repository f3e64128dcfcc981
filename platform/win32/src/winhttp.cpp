// Sessions, connections, requests and their handles; URL splitting; the user's proxy settings.
// The transfer itself is in winhttp_request.cpp.
#include "winhttp.h"

#include "errhandlingapi.h"
#include "winbase.h"
#include "winerror.h"
#include "handle_table.h"
#include "winhttp_request.h"

#include "hostns/hostns.h"

#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace win32::detail::http {

namespace {

// Above the range of the file handle table.
HandleTable<InternetObject>& table()
{
    static HandleTable<InternetObject> t((uintptr_t(1) << 30) + 0x100, uintptr_t(1) << 31);
    return t;
}

} // namespace

HINTERNET insert(std::shared_ptr<InternetObject> object)
{
    InternetObject* raw = object.get();
    auto handle = reinterpret_cast<HINTERNET>(table().insert(std::move(object)));
    raw->handle = handle;
    return handle;
}

std::shared_ptr<InternetObject> lookup(HINTERNET handle)
{
    return table().lookup(reinterpret_cast<uintptr_t>(handle));
}

std::shared_ptr<InternetObject> remove(HINTERNET handle)
{
    return table().remove(reinterpret_cast<uintptr_t>(handle));
}

void InternetObject::notify(DWORD status, LPVOID info, DWORD length)
{
    WINHTTP_STATUS_CALLBACK cb = callback.load();
    if (cb && (notify_flags.load() & status))
        cb(handle, context.load(), status, info, length);
}

void InternetObject::inherit(InternetObject& parent)
{
    callback = parent.callback.load();
    notify_flags = parent.notify_flags.load();
    context = parent.context.load();
    std::lock_guard guard(parent.timeouts_lock);
    timeouts = parent.timeouts;
}

std::string narrow(const WCHAR* text, size_t length)
{
    return text ? hostns::to_utf8(std::u16string_view(text, length)) : std::string();
}

std::string narrow(const WCHAR* text)
{
    return text ? hostns::to_utf8(std::u16string_view(text)) : std::string();
}

std::u16string widen_latin1(const std::string& text)
{
    std::u16string out;
    out.reserve(text.size());
    for (unsigned char c : text)
        out += static_cast<char16_t>(c);
    return out;
}

} // namespace win32::detail::http

using namespace win32::detail::http;

namespace {

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// The handle as a request, or null with the platform's error for a wrong or unknown handle.
std::shared_ptr<Request> request_of(HINTERNET handle)
{
    auto object = lookup(handle);
    if (!object)
        SetLastError(ERROR_INVALID_HANDLE);
    else if (object->kind != Kind::request)
        SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
    else
        return std::static_pointer_cast<Request>(object);
    return nullptr;
}

void init_curl()
{
    static const bool done = [] { return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; }();
    (void)done;
}

// WinHTTP bypass lists separate names by ';' or blanks, libcurl's by commas. "<local>" (names
// without a dot) has no libcurl equivalent and is dropped.
std::string curl_noproxy(const std::string& bypass)
{
    std::string out, name;
    auto flush = [&] {
        if (!name.empty() && name != "<local>")
            out += (out.empty() ? "" : ",") + name;
        name.clear();
    };
    for (char c : bypass) {
        if (c == ';' || c == ',' || c == ' ' || c == '\t')
            flush();
        else
            name += c;
    }
    flush();
    return out;
}

LPWSTR global_copy(const char* text)
{
    if (!text || !*text)
        return nullptr;
    std::u16string wide = hostns::from_utf8(text);
    auto* block = static_cast<LPWSTR>(GlobalAlloc(GPTR, (wide.size() + 1) * sizeof(WCHAR)));
    if (block)
        std::memcpy(block, wide.c_str(), (wide.size() + 1) * sizeof(WCHAR));
    return block;
}

const char* env_either(const char* lower, const char* upper)
{
    const char* v = std::getenv(lower);
    return v && *v ? v : std::getenv(upper);
}

} // namespace

HINTERNET WINAPI WinHttpOpen(LPCWSTR pszAgentW, DWORD dwAccessType, LPCWSTR pszProxyW,
                             LPCWSTR pszProxyBypassW, DWORD dwFlags)
{
    if (dwFlags & WINHTTP_FLAG_ASYNC) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto session = std::make_shared<Session>();
    session->agent = narrow(pszAgentW);
    switch (dwAccessType) {
    case WINHTTP_ACCESS_TYPE_NAMED_PROXY:
        if (!pszProxyW || !*pszProxyW) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        session->proxy = narrow(pszProxyW);
        session->noproxy = curl_noproxy(narrow(pszProxyBypassW));
        break;
    case WINHTTP_ACCESS_TYPE_DEFAULT_PROXY:
    case WINHTTP_ACCESS_TYPE_NO_PROXY:
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    init_curl();
    return insert(session);
}

HINTERNET WINAPI WinHttpConnect(HINTERNET hSession, LPCWSTR pswzServerName,
                                INTERNET_PORT nServerPort, DWORD dwReserved)
{
    auto object = lookup(hSession);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (object->kind != Kind::session) {
        SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
        return nullptr;
    }
    if (!pswzServerName || !*pswzServerName || dwReserved) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto connection = std::make_shared<Connection>();
    connection->inherit(*object);
    connection->session = std::static_pointer_cast<Session>(object);
    connection->host = narrow(pswzServerName);
    connection->port = nServerPort;
    HINTERNET handle = insert(connection);
    connection->notify(WINHTTP_CALLBACK_STATUS_HANDLE_CREATED, &handle, sizeof(handle));
    return handle;
}

HINTERNET WINAPI WinHttpOpenRequest(HINTERNET hConnect, LPCWSTR pwszVerb, LPCWSTR pwszObjectName,
                                    LPCWSTR pwszVersion, LPCWSTR pwszReferrer,
                                    LPCWSTR* ppwszAcceptTypes, DWORD dwFlags)
{
    auto object = lookup(hConnect);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (object->kind != Kind::connection) {
        SetLastError(ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
        return nullptr;
    }
    // Only HTTP/1.1 is spoken; the platform itself offers nothing older that the parts use.
    if (pwszVersion && narrow(pwszVersion) != "HTTP/1.1") {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto request = std::make_shared<Request>();
    request->inherit(*object);
    request->connection = std::static_pointer_cast<Connection>(object);
    request->verb = pwszVerb && *pwszVerb ? narrow(pwszVerb) : "GET";
    request->path = pwszObjectName && *pwszObjectName ? narrow(pwszObjectName) : "/";
    request->secure = (dwFlags & WINHTTP_FLAG_SECURE) != 0;
    if (pwszReferrer && *pwszReferrer)
        request->headers.emplace_back("Referer", narrow(pwszReferrer));
    if (ppwszAcceptTypes) {
        std::string types;
        for (LPCWSTR* type = ppwszAcceptTypes; *type; ++type)
            types += (types.empty() ? "" : ", ") + narrow(*type);
        if (!types.empty())
            request->headers.emplace_back("Accept", types);
    }
    if (dwFlags & WINHTTP_FLAG_REFRESH) {
        request->headers.emplace_back("Pragma", "no-cache");
        request->headers.emplace_back("Cache-Control", "no-cache");
    }
    HINTERNET handle = insert(request);
    request->notify(WINHTTP_CALLBACK_STATUS_HANDLE_CREATED, &handle, sizeof(handle));
    return handle;
}

BOOL WINAPI WinHttpAddRequestHeaders(HINTERNET hRequest, LPCWSTR lwszHeaders, DWORD dwHeadersLength,
                                     DWORD dwModifiers)
{
    auto request = request_of(hRequest);
    if (!request)
        return FALSE;
    if (!lwszHeaders || dwHeadersLength == 0)
        return fail(ERROR_INVALID_PARAMETER);
    const std::string text =
        dwHeadersLength == DWORD(-1) ? narrow(lwszHeaders) : narrow(lwszHeaders, dwHeadersLength);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start) {
            if (DWORD error = request->add_header(text.substr(start, end - start), dwModifiers))
                return fail(error);
        }
        start = end + 1;
    }
    return TRUE;
}

BOOL WINAPI WinHttpSendRequest(HINTERNET hRequest, LPCWSTR lpszHeaders, DWORD dwHeadersLength,
                               LPVOID lpOptional, DWORD dwOptionalLength, DWORD dwTotalLength,
                               DWORD_PTR dwContext)
{
    auto request = request_of(hRequest);
    if (!request)
        return FALSE;
    if (lpszHeaders && dwHeadersLength != 0 &&
        !WinHttpAddRequestHeaders(hRequest, lpszHeaders, dwHeadersLength, WINHTTP_ADDREQ_FLAG_ADD))
        return FALSE;
    if (!lpOptional && dwOptionalLength)
        return fail(ERROR_INVALID_PARAMETER);
    if (dwContext)
        request->context = dwContext;
    DWORD error = request->send(lpOptional, dwOptionalLength, dwTotalLength);
    return error ? fail(error) : TRUE;
}

BOOL WINAPI WinHttpWriteData(HINTERNET hRequest, LPCVOID lpBuffer, DWORD dwNumberOfBytesToWrite,
                             LPDWORD lpdwNumberOfBytesWritten)
{
    auto request = request_of(hRequest);
    if (!request)
        return FALSE;
    if (!lpBuffer && dwNumberOfBytesToWrite)
        return fail(ERROR_INVALID_PARAMETER);
    DWORD error = request->write(lpBuffer, dwNumberOfBytesToWrite, lpdwNumberOfBytesWritten);
    return error ? fail(error) : TRUE;
}

BOOL WINAPI WinHttpReceiveResponse(HINTERNET hRequest, LPVOID lpReserved)
{
    auto request = request_of(hRequest);
    if (!request)
        return FALSE;
    if (lpReserved)
        return fail(ERROR_INVALID_PARAMETER);
    DWORD error = request->receive();
    return error ? fail(error) : TRUE;
}

BOOL WINAPI WinHttpReadData(HINTERNET hRequest, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                            LPDWORD lpdwNumberOfBytesRead)
{
    auto request = request_of(hRequest);
    if (!request)
        return FALSE;
    if (!lpdwNumberOfBytesRead || (!lpBuffer && dwNumberOfBytesToRead))
        return fail(ERROR_INVALID_PARAMETER);
    DWORD error = request->read(lpBuffer, dwNumberOfBytesToRead, lpdwNumberOfBytesRead);
    return error ? fail(error) : TRUE;
}

WINHTTP_STATUS_CALLBACK WINAPI
WinHttpSetStatusCallback(HINTERNET hInternet, WINHTTP_STATUS_CALLBACK lpfnInternetCallback,
                         DWORD dwNotificationFlags, DWORD_PTR dwReserved)
{
    auto object = lookup(hInternet);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WINHTTP_INVALID_STATUS_CALLBACK;
    }
    if (dwReserved || lpfnInternetCallback == WINHTTP_INVALID_STATUS_CALLBACK) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WINHTTP_INVALID_STATUS_CALLBACK;
    }
    object->notify_flags = dwNotificationFlags;
    return object->callback.exchange(lpfnInternetCallback);
}

BOOL WINAPI WinHttpSetOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer,
                             DWORD dwBufferLength)
{
    auto object = lookup(hInternet);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    int Timeouts::*timeout = nullptr;
    switch (dwOption) {
    case WINHTTP_OPTION_CONTEXT_VALUE:
        if (!lpBuffer || dwBufferLength != sizeof(DWORD_PTR))
            return fail(ERROR_INSUFFICIENT_BUFFER);
        object->context = *static_cast<DWORD_PTR*>(lpBuffer);
        return TRUE;
    case WINHTTP_OPTION_RESOLVE_TIMEOUT:
        timeout = &Timeouts::resolve;
        break;
    case WINHTTP_OPTION_CONNECT_TIMEOUT:
        timeout = &Timeouts::connect;
        break;
    case WINHTTP_OPTION_SEND_TIMEOUT:
        timeout = &Timeouts::send;
        break;
    case WINHTTP_OPTION_RECEIVE_TIMEOUT:
        timeout = &Timeouts::receive;
        break;
    default:
        return fail(ERROR_WINHTTP_INVALID_OPTION);
    }
    if (!lpBuffer || dwBufferLength != sizeof(DWORD))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    const int value = static_cast<int>(*static_cast<DWORD*>(lpBuffer));
    std::lock_guard guard(object->timeouts_lock);
    object->timeouts.*timeout = value < 0 ? 0 : value;
    return TRUE;
}

BOOL WINAPI WinHttpSetTimeouts(HINTERNET hInternet, int nResolveTimeout, int nConnectTimeout,
                               int nSendTimeout, int nReceiveTimeout)
{
    auto object = lookup(hInternet);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    // -1 means "wait forever", as 0 does; anything else below zero is refused.
    for (int t : {nResolveTimeout, nConnectTimeout, nSendTimeout, nReceiveTimeout}) {
        if (t < -1)
            return fail(ERROR_INVALID_PARAMETER);
    }
    auto forever_as_zero = [](int t) { return t < 0 ? 0 : t; };
    std::lock_guard guard(object->timeouts_lock);
    object->timeouts = {forever_as_zero(nResolveTimeout), forever_as_zero(nConnectTimeout),
                        forever_as_zero(nSendTimeout), forever_as_zero(nReceiveTimeout)};
    return TRUE;
}

BOOL WINAPI WinHttpCloseHandle(HINTERNET hInternet)
{
    auto object = remove(hInternet);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    object->notify(WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING, &hInternet, sizeof(hInternet));
    object->close();
    return TRUE;
}

BOOL WINAPI
WinHttpGetIEProxyConfigForCurrentUser(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG* pProxyConfig)
{
    if (!pProxyConfig)
        return fail(ERROR_INVALID_PARAMETER);
    *pProxyConfig = {};
    const char* proxy = env_either("http_proxy", "HTTP_PROXY");
    const char* bypass = env_either("no_proxy", "NO_PROXY");
    pProxyConfig->lpszProxy = global_copy(proxy);
    pProxyConfig->lpszProxyBypass = global_copy(bypass);
    if ((proxy && *proxy && !pProxyConfig->lpszProxy) ||
        (bypass && *bypass && !pProxyConfig->lpszProxyBypass)) {
        GlobalFree(pProxyConfig->lpszProxy);
        GlobalFree(pProxyConfig->lpszProxyBypass);
        *pProxyConfig = {};
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    return TRUE;
}
