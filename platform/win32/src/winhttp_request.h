// One HTTP exchange over a libcurl easy handle, driven step by step on the caller's thread
// through a private multi handle: each step runs the transfer until what it waits for has
// happened (request sent, body bytes taken, final headers in, body bytes out), the transfer
// failed, the step's idle timeout passed or the handle was closed from another thread.
#pragma once

#include "winhttp_objects.h"

#include <chrono>
#include <curl/curl.h>
#include <functional>
#include <utility>

namespace win32::detail::http {

class Request : public InternetObject {
public:
    Request() : InternetObject(Kind::request) {}
    ~Request() override;

    void close() override;

    // Set by WinHttpOpenRequest.
    std::shared_ptr<Connection> connection;
    std::string verb;
    std::string path; // the object name as sent, query included
    bool secure = false;

    // Request headers in order, as (name, value). Changed only before the request is sent.
    std::vector<std::pair<std::string, std::string>> headers;
    // Applies one "Name: value" line with WinHttpAddRequestHeaders' modifiers; an error code.
    DWORD add_header(const std::string& line, DWORD modifiers);

    // The steps; each returns ERROR_SUCCESS or the error for GetLastError.
    DWORD send(const void* data, DWORD length, DWORD total);
    DWORD write(const void* data, DWORD length, DWORD* written);
    DWORD receive();
    DWORD read(void* buffer, DWORD length, DWORD* read);

    // Response headers, valid once receive() succeeded.
    bool headers_ready() const { return state_ == State::received; }
    const std::string& status_line() const { return status_line_; }
    const std::vector<std::string>& header_lines() const { return header_lines_; }
    // The value of the index-th header of that name (case-insensitive), or false.
    bool header_value(const std::string& name, DWORD index, std::string& value) const;

private:
    enum class State { opened, sending, sent, received, failed };

    DWORD start(DWORD total);
    // Runs the transfer until ready() holds; idle_ms bounds the time without progress (0: none).
    DWORD drive(const std::function<bool()>& ready, int idle_ms);
    DWORD fail(DWORD error);
    int timeout(int Timeouts::*which);

    static size_t on_read(char* buffer, size_t size, size_t count, void* self);
    static size_t on_write(char* data, size_t size, size_t count, void* self);
    static size_t on_header(char* data, size_t size, size_t count, void* self);
    static int on_debug(CURL*, curl_infotype type, char*, size_t size, void* self);
    static int on_progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

    State state_ = State::opened;
    DWORD error_ = 0; // sticky once the exchange failed
    CURL* easy_ = nullptr;
    CURLM* multi_ = nullptr;
    curl_slist* sent_headers_ = nullptr;
    std::atomic<bool> cancelled_{false};
    std::mutex multi_lock_; // guards multi_ against close() waking it while it is torn down

    // Upload: bytes handed over but not yet taken by libcurl.
    std::string pending_;
    size_t pending_taken_ = 0;
    uint64_t total_ = 0;
    uint64_t supplied_ = 0;
    bool read_paused_ = false;

    // Response.
    bool request_sent_ = false;
    uint64_t body_sent_ = 0; // request body bytes written to the connection
    bool transfer_done_ = false;
    CURLcode result_ = CURLE_OK;
    bool final_headers_ = false;
    bool block_complete_ = false;
    long status_ = 0;
    std::string status_line_;
    std::vector<std::string> header_lines_;
    std::string body_;
    size_t body_taken_ = 0;
    std::chrono::steady_clock::time_point last_progress_;
};

} // namespace win32::detail::http
