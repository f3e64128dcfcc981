// XHttpClient: a thin synchronous HTTP client over the WinHTTP interface. One object holds at
// most one session, one connection and one open request; every call blocks until the server
// has answered. Failures are false results (or empty text, or 0), with the system error code in
// LastError() when a system call failed; nothing throws or shows a message.
#pragma once

#include "windows.h"
#include "winhttp.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

enum class RequestKind : int {
    Get = 0,           // "GET" without a body
    PostForm = 1,      // url-encoded form fields
    PostMultipart = 2, // form fields as multipart/form-data
    PostFile = 3,      // the upload file as multipart/form-data
};

// Called before every chunk of an upload and once at its end, with the upload path, the file
// bytes sent so far and the file size; false cancels the upload.
using UploadProgressCallback =
    std::function<bool(const std::u16string& path, uint64_t sent, uint64_t size)>;

class XHttpClient {
public:
    XHttpClient() = default;
    virtual ~XHttpClient();
    XHttpClient(const XHttpClient&) = delete;
    XHttpClient& operator=(const XHttpClient&) = delete;

    // Without a proxy or a bypass list the user's proxy settings apply (cached for the process
    // once they are non-empty). The callback, when given, receives every notification of the
    // session and its children with this object as context value.
    bool Open(const char16_t* userAgent, const char16_t* proxy = nullptr,
              const char16_t* proxyBypass = nullptr, WINHTTP_STATUS_CALLBACK callback = nullptr);
    // Splits the URL, keeps its path with query and fragment, and connects. Schemes other than
    // http and https fail with last error 0.
    bool OpenUrl(const char16_t* url);
    bool Connect();
    // True when the request went out and the response headers are in (whatever the status).
    bool SendRequest(RequestKind kind, const char16_t* path = nullptr,
                     const char16_t* referrer = nullptr, const char16_t* acceptType = nullptr);

    // Header text of a query level (WINHTTP_QUERY_*); index, when given, selects the occurrence
    // and advances. Empty when there is none; the custom level is not supported.
    std::u16string QueryHeader(DWORD infoLevel, DWORD* index = nullptr);
    int32_t GetStatusCode();
    int64_t GetContentLength();
    std::u16string GetSetCookie(DWORD& index);
    // One read; fewer bytes than asked are normal, 0 at the end. Does not clear last error.
    bool ReadData(void* buffer, DWORD size, DWORD& read);
    // The body as wide text, Content-Length bytes at most, converted from the code page.
    std::u16string ReadText(uint32_t codePage);
    void Close();

    // What callers fill in before a request, and what they read afterwards.
    void AddHeader(std::u16string line, DWORD addFlags);
    void ClearHeaders() { headers_.clear(); }
    void AddFormField(std::u16string name, std::u16string value);
    void ClearFormFields() { fields_.clear(); }
    void SetUploadFile(std::u16string path) { uploadFile_ = std::move(path); }
    void SetUploadProgressCallback(UploadProgressCallback callback);
    // WinHttpSetTimeouts on the open session; requests opened afterwards use them.
    bool SetTimeouts(int resolveMs, int connectMs, int sendMs, int receiveMs);

    DWORD LastError() const { return lastError_; }
    bool UploadCancelled() const { return uploadCancelled_; }
    const std::u16string& Host() const { return host_; }
    INTERNET_PORT Port() const { return port_; }
    const std::u16string& Path() const { return path_; }
    INTERNET_SCHEME Scheme() const { return scheme_; }

private:
    bool OpenRequest(const char16_t* verb, const char16_t* referrer, const char16_t* acceptType,
                     const char16_t* contentType);
    bool SendGet();
    bool SendPostForm();
    bool SendPostMultipart();
    bool SendPostFile();
    // Records the calling thread's last error, closes the request and returns false.
    bool FailRequest();
    void CloseRequest();
    void CloseConnection();

    HINTERNET session_ = nullptr;
    HINTERNET connection_ = nullptr;
    HINTERNET request_ = nullptr;
    std::u16string host_;
    INTERNET_PORT port_ = 0;
    std::u16string path_;
    DWORD lastError_ = 0;
    INTERNET_SCHEME scheme_ = 0;
    WINHTTP_STATUS_CALLBACK statusCallback_ = nullptr;
    std::vector<std::pair<std::u16string, DWORD>> headers_;
    std::vector<std::pair<std::u16string, std::u16string>> fields_;
    std::u16string uploadFile_;
    UploadProgressCallback uploadProgress_;
    bool uploadCancelled_ = false;
};
