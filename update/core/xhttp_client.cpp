#include "xhttp_client.h"

#include "common/text_encoding.h"
#include "common/text_numbers.h"

#include <memory>
#include <new>

namespace {

// The process-wide proxy caches: once a non-empty value has been read it is kept; while it is
// empty the user's settings are read again at every Open. Not locked: the system never opens
// two sessions at once.
std::u16string g_cachedProxy;
std::u16string g_cachedBypass;

constexpr char16_t kBoundary[] = u"----------Ef1gL6Ef1ae0cH2ei4ei4KM7Ij5gL6";
constexpr char16_t kMultipartType[] =
    u"Content-Type: multipart/form-data; boundary=----------Ef1gL6Ef1ae0cH2ei4ei4KM7Ij5gL6\r\n";
constexpr char16_t kFormType[] = u"Content-Type: application/x-www-form-urlencoded\r\n";
constexpr char16_t kAcceptAll[] = u"Accept: */*\r\n";
constexpr DWORD kAddOrReplace = WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE;
constexpr DWORD kUploadChunk = 32768;

std::string Ansi(const std::u16string& text)
{
    return WideToCodePage(text, CP_ACP);
}

// The file name of an upload path: the text after its last backslash, a trailing one dropped.
std::u16string UploadFileName(std::u16string path)
{
    if (!path.empty() && path.back() == u'\\')
        path.pop_back();
    const auto slash = path.rfind(u'\\');
    return slash == std::u16string::npos ? std::u16string() : path.substr(slash + 1);
}

struct FileCloser {
    void operator()(HANDLE h) const
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};
using FileHandle = std::unique_ptr<void, FileCloser>;

FileHandle OpenForReading(const std::u16string& path, DWORD share)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return FileHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

} // namespace

XHttpClient::~XHttpClient()
{
    Close();
}

void XHttpClient::AddHeader(std::u16string line, DWORD addFlags)
{
    headers_.emplace_back(std::move(line), addFlags);
}

void XHttpClient::AddFormField(std::u16string name, std::u16string value)
{
    fields_.emplace_back(std::move(name), std::move(value));
}

void XHttpClient::SetUploadProgressCallback(UploadProgressCallback callback)
{
    uploadProgress_ = std::move(callback);
}

bool XHttpClient::SetTimeouts(int resolveMs, int connectMs, int sendMs, int receiveMs)
{
    lastError_ = 0;
    if (!WinHttpSetTimeouts(session_, resolveMs, connectMs, sendMs, receiveMs)) {
        lastError_ = GetLastError();
        return false;
    }
    return true;
}

void XHttpClient::CloseRequest()
{
    if (request_) {
        WinHttpCloseHandle(request_);
        request_ = nullptr;
    }
}

void XHttpClient::CloseConnection()
{
    CloseRequest();
    if (connection_) {
        WinHttpCloseHandle(connection_);
        connection_ = nullptr;
    }
}

void XHttpClient::Close()
{
    CloseConnection();
    if (session_) {
        WinHttpCloseHandle(session_);
        session_ = nullptr;
    }
    lastError_ = 0;
}

bool XHttpClient::Open(const char16_t* userAgent, const char16_t* proxy,
                       const char16_t* proxyBypass, WINHTTP_STATUS_CALLBACK callback)
{
    lastError_ = 0;
    CloseConnection();
    if (session_) {
        WinHttpCloseHandle(session_);
        session_ = nullptr;
    }

    auto fail = [this] {
        lastError_ = GetLastError();
        if (session_) {
            WinHttpCloseHandle(session_);
            session_ = nullptr;
        }
        return false;
    };

    if ((!proxy && g_cachedProxy.empty()) || (!proxyBypass && g_cachedBypass.empty())) {
        WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
        if (!WinHttpGetIEProxyConfigForCurrentUser(&config))
            return fail();
        if (g_cachedProxy.empty() && config.lpszProxy)
            g_cachedProxy = config.lpszProxy;
        if (g_cachedBypass.empty() && config.lpszProxyBypass)
            g_cachedBypass = config.lpszProxyBypass;
        GlobalFree(config.lpszAutoConfigUrl);
        GlobalFree(config.lpszProxy);
        GlobalFree(config.lpszProxyBypass);
    }
    const std::u16string proxyText = proxy ? proxy : g_cachedProxy;
    const std::u16string bypassText = proxyBypass ? proxyBypass : g_cachedBypass;

    if (!proxyText.empty()) {
        session_ =
            WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxyText.c_str(),
                        bypassText.empty() ? WINHTTP_NO_PROXY_BYPASS : bypassText.c_str(), 0);
    } else {
        session_ = WinHttpOpen(userAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0);
    }
    if (!session_)
        return fail();

    if (callback) {
        if (WinHttpSetStatusCallback(session_, callback, WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS,
                                     0) == WINHTTP_INVALID_STATUS_CALLBACK)
            return fail();
        DWORD_PTR context = reinterpret_cast<DWORD_PTR>(this);
        if (!WinHttpSetOption(session_, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context)))
            return fail();
    }
    statusCallback_ = callback;
    return true;
}

bool XHttpClient::OpenUrl(const char16_t* url)
{
    lastError_ = 0;
    WCHAR host[MAX_PATH] = {};
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.lpszHostName = host;
    parts.dwHostNameLength = MAX_PATH;
    parts.dwUrlPathLength = DWORD(-1);
    if (!WinHttpCrackUrl(url, 0, 0, &parts)) {
        lastError_ = GetLastError();
        return false;
    }
    if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
        return false;
    scheme_ = parts.nScheme;
    host_ = host;
    port_ = parts.nPort;
    // The path runs to the end of the URL, so the query and the fragment stay in it.
    path_ = parts.lpszUrlPath ? std::u16string(parts.lpszUrlPath) : std::u16string();
    return Connect();
}

bool XHttpClient::Connect()
{
    lastError_ = 0;
    CloseConnection();
    connection_ = WinHttpConnect(session_, host_.c_str(), port_, 0);
    if (!connection_) {
        lastError_ = GetLastError();
        return false;
    }
    return true;
}

bool XHttpClient::SendRequest(RequestKind kind, const char16_t* path, const char16_t* referrer,
                              const char16_t* acceptType)
{
    lastError_ = 0;
    CloseRequest();
    if (path)
        path_ = path;
    switch (kind) {
    case RequestKind::Get:
        return OpenRequest(u"GET", referrer, acceptType, nullptr) && SendGet();
    case RequestKind::PostForm:
        return OpenRequest(u"POST", referrer, acceptType, kFormType) && SendPostForm();
    case RequestKind::PostMultipart:
        return OpenRequest(u"POST", referrer, acceptType, kMultipartType) && SendPostMultipart();
    case RequestKind::PostFile:
        if (uploadFile_.empty())
            return false;
        uploadCancelled_ = false;
        return OpenRequest(u"POST", referrer, acceptType, kMultipartType) && SendPostFile();
    }
    return false;
}

bool XHttpClient::FailRequest()
{
    lastError_ = GetLastError();
    CloseRequest();
    return false;
}

bool XHttpClient::OpenRequest(const char16_t* verb, const char16_t* referrer,
                              const char16_t* acceptType, const char16_t* contentType)
{
    if (!session_ || !connection_)
        return false;
    LPCWSTR acceptTypes[] = {acceptType, nullptr};
    DWORD flags = WINHTTP_FLAG_REFRESH;
    if (scheme_ == INTERNET_SCHEME_HTTPS)
        flags |= WINHTTP_FLAG_SECURE;
    request_ = WinHttpOpenRequest(connection_, verb, path_.c_str(), nullptr, referrer,
                                  acceptType ? acceptTypes : WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
    if (!request_)
        return FailRequest();
    if (!WinHttpAddRequestHeaders(request_, kAcceptAll, DWORD(-1), kAddOrReplace))
        return FailRequest();
    if (contentType && !WinHttpAddRequestHeaders(request_, contentType, DWORD(-1), kAddOrReplace))
        return FailRequest();
    for (const auto& [line, addFlags] : headers_) {
        if (!WinHttpAddRequestHeaders(request_, line.c_str(), DWORD(-1), addFlags))
            return FailRequest();
    }
    return true;
}

bool XHttpClient::SendGet()
{
    if (!WinHttpSendRequest(request_, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            0, 0) ||
        !WinHttpReceiveResponse(request_, nullptr))
        return FailRequest();
    return true;
}

bool XHttpClient::SendPostForm()
{
    // Names and values go out unchanged: nothing is escaped.
    std::string body;
    for (size_t i = 0; i < fields_.size(); ++i) {
        if (i)
            body += '&';
        body += Ansi(fields_[i].first) + "=" + Ansi(fields_[i].second);
    }
    if (!WinHttpSendRequest(request_, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                            body.empty() ? WINHTTP_NO_REQUEST_DATA : body.data(),
                            static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0) ||
        !WinHttpReceiveResponse(request_, nullptr))
        return FailRequest();
    return true;
}

bool XHttpClient::SendPostMultipart()
{
    // The body grows with its parts: a value of any length is sent whole.
    const std::string boundary = Ansi(kBoundary);
    std::string body;
    for (const auto& [name, value] : fields_) {
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + Ansi(name) +
                "\"\r\n\r\n" + Ansi(value) + "\r\n";
    }
    body += "--" + boundary + "--\r\n";
    const std::u16string length =
        u"Content-Length: " + IntToText(static_cast<int32_t>(body.size())) + u"\r\n";
    if (!WinHttpAddRequestHeaders(request_, length.c_str(), DWORD(-1), kAddOrReplace) ||
        !WinHttpSendRequest(request_, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body.data(),
                            static_cast<DWORD>(body.size()), static_cast<DWORD>(body.size()), 0) ||
        !WinHttpReceiveResponse(request_, nullptr))
        return FailRequest();
    return true;
}

bool XHttpClient::SendPostFile()
{
    const std::string boundary = Ansi(kBoundary);
    const std::string prefix =
        "\r\n--" + boundary + "\r\nContent-Disposition: form-data; name=\"filename\"; filename=\"" +
        WideToUtf8(UploadFileName(uploadFile_)) +
        "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
    const std::string suffix = "\r\n--" + boundary + "--\r\n";

    uint64_t fileSize = 0;
    if (FileHandle probe = OpenForReading(uploadFile_, FILE_SHARE_READ | FILE_SHARE_WRITE)) {
        LARGE_INTEGER size{};
        if (GetFileSizeEx(probe.get(), &size))
            fileSize = static_cast<uint64_t>(size.QuadPart);
    }
    const DWORD total = static_cast<DWORD>(prefix.size() + suffix.size() + fileSize);
    DWORD written = 0;
    if (!WinHttpSendRequest(request_, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            total, 0) ||
        !WinHttpWriteData(request_, prefix.data(), static_cast<DWORD>(prefix.size()), &written))
        return FailRequest();

    std::unique_ptr<char[]> chunk(new (std::nothrow) char[kUploadChunk]);
    FileHandle file = OpenForReading(uploadFile_, FILE_SHARE_READ);
    if (!chunk || !file) {
        CloseRequest();
        return false;
    }
    uint64_t sent = 0;
    for (;;) {
        DWORD got = 0;
        const bool ok = ReadFile(file.get(), chunk.get(), kUploadChunk, &got, nullptr);
        if (ok && uploadProgress_ && !uploadProgress_(uploadFile_, sent, fileSize)) {
            uploadCancelled_ = true;
            CloseRequest();
            return false;
        }
        if (!ok || got == 0)
            break;
        if (!WinHttpWriteData(request_, chunk.get(), got, &written))
            return FailRequest();
        sent += got;
    }
    if (!WinHttpWriteData(request_, suffix.data(), static_cast<DWORD>(suffix.size()), &written) ||
        !WinHttpReceiveResponse(request_, nullptr))
        return FailRequest();
    return true;
}

std::u16string XHttpClient::QueryHeader(DWORD infoLevel, DWORD* index)
{
    lastError_ = 0;
    if (!request_ || (infoLevel & 0xFFFF) == WINHTTP_QUERY_CUSTOM)
        return {};
    DWORD size = 0;
    if (WinHttpQueryHeaders(request_, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &size, index))
        return {};
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        lastError_ = GetLastError();
        return {};
    }
    std::u16string text(size / sizeof(WCHAR) + 1, u'\0');
    if (!WinHttpQueryHeaders(request_, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &size,
                             index)) {
        lastError_ = GetLastError();
        return {};
    }
    text.resize(size / sizeof(WCHAR));
    return text;
}

int32_t XHttpClient::GetStatusCode()
{
    return TextToInt(QueryHeader(WINHTTP_QUERY_STATUS_CODE));
}

int64_t XHttpClient::GetContentLength()
{
    return TextToInt64(QueryHeader(WINHTTP_QUERY_CONTENT_LENGTH));
}

std::u16string XHttpClient::GetSetCookie(DWORD& index)
{
    return QueryHeader(WINHTTP_QUERY_SET_COOKIE, &index);
}

bool XHttpClient::ReadData(void* buffer, DWORD size, DWORD& read)
{
    read = 0;
    if (!WinHttpReadData(request_, buffer, size, &read)) {
        lastError_ = GetLastError();
        return false;
    }
    return true;
}

std::u16string XHttpClient::ReadText(uint32_t codePage)
{
    lastError_ = 0;
    const int64_t length = GetContentLength();
    if (length <= 0)
        return {};
    std::unique_ptr<char[]> body(new (std::nothrow) char[static_cast<size_t>(length) + 2]());
    if (!body)
        return {};
    int64_t got = 0;
    while (got < length) {
        DWORD read = 0;
        const DWORD want = static_cast<DWORD>(std::min<int64_t>(length - got, 1 << 20));
        if (!ReadData(body.get() + got, want, read) || read == 0)
            break;
        got += read;
    }
    if (got == 0)
        return {};
    return CodePageToWide(std::string_view(body.get(), static_cast<size_t>(got)), codePage);
}
