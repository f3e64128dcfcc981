// The objects behind HINTERNET handles. Sessions, connections and requests live in a table of
// their own (their handle values never collide with the file handles of handle_table), so that
// CloseHandle cannot close them and WinHttpCloseHandle cannot close a file.
#pragma once

#include "winhttp.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace win32::detail::http {

enum class Kind { session, connection, request };

struct Timeouts {
    int resolve = 0;
    int connect = 60000;
    int send = 30000;
    int receive = 30000;
};

class InternetObject {
public:
    explicit InternetObject(Kind kind) : kind(kind) {}
    virtual ~InternetObject() = default;

    // Called once by WinHttpCloseHandle, possibly on another thread than one using the object.
    virtual void close() {}

    // Reports a status to the callback when one is set and the flags ask for it.
    void notify(DWORD status, LPVOID info, DWORD length);

    const Kind kind;
    HINTERNET handle = nullptr;
    std::atomic<DWORD_PTR> context{0};
    // Set before the handle is shared; changed only by WinHttpSetStatusCallback.
    std::atomic<WINHTTP_STATUS_CALLBACK> callback{nullptr};
    std::atomic<DWORD> notify_flags{0};
    Timeouts timeouts;
    std::mutex timeouts_lock;

    // Children start with their parent's callback, context and timeouts.
    void inherit(InternetObject& parent);
};

struct Session : InternetObject {
    Session() : InternetObject(Kind::session) {}
    std::string agent;   // UTF-8, empty: no User-Agent header
    std::string proxy;   // empty: direct
    std::string noproxy; // curl's form: host names separated by commas
};

struct Connection : InternetObject {
    Connection() : InternetObject(Kind::connection) {}
    std::shared_ptr<Session> session;
    std::string host; // UTF-8
    INTERNET_PORT port = 0;
};

// Registers an object and gives it its handle.
HINTERNET insert(std::shared_ptr<InternetObject> object);
std::shared_ptr<InternetObject> lookup(HINTERNET handle);
template <class T> std::shared_ptr<T> lookup_as(HINTERNET handle)
{
    return std::dynamic_pointer_cast<T>(lookup(handle));
}
std::shared_ptr<InternetObject> remove(HINTERNET handle);

// Wide header and URL text as sent on the wire: UTF-8.
std::string narrow(const WCHAR* text, size_t length);
std::string narrow(const WCHAR* text);
// Response header bytes are taken as Latin-1, one byte per character.
std::u16string widen_latin1(const std::string& text);

} // namespace win32::detail::http
