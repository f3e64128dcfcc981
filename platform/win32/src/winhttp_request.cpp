#include "winhttp_request.h"

#include "winerror.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace win32::detail::http {

namespace {

using Clock = std::chrono::steady_clock;

DWORD map_curl_error(CURLcode code)
{
    switch (code) {
    case CURLE_OK:
        return ERROR_SUCCESS;
    case CURLE_COULDNT_CONNECT:
        return ERROR_WINHTTP_CANNOT_CONNECT;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return ERROR_WINHTTP_NAME_NOT_RESOLVED;
    case CURLE_OPERATION_TIMEDOUT:
        return ERROR_WINHTTP_TIMEOUT;
    case CURLE_ABORTED_BY_CALLBACK:
        return ERROR_WINHTTP_OPERATION_CANCELLED;
    case CURLE_URL_MALFORMAT:
        return ERROR_WINHTTP_INVALID_URL;
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_UNSUPPORTED_PROTOCOL:
        return ERROR_WINHTTP_REDIRECT_FAILED;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
        return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    case CURLE_OUT_OF_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
        return ERROR_WINHTTP_SECURE_FAILURE;
    default:
        // A body cut short, a reset, nothing received: the connection broke.
        return ERROR_WINHTTP_CONNECTION_ERROR;
    }
}

// Bytes that may not stand raw in a request target are sent %-escaped, as the platform does
// unless told otherwise; '%' itself is left alone so that escaped paths pass unchanged.
std::string escape_target(const std::string& path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    if (path.empty() || path[0] != '/')
        out += '/';
    for (unsigned char c : path) {
        if (c <= 0x20 || c >= 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string trim(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool same_name(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace

Request::~Request()
{
    std::lock_guard guard(multi_lock_);
    if (multi_ && easy_)
        curl_multi_remove_handle(multi_, easy_);
    if (easy_)
        curl_easy_cleanup(easy_);
    if (multi_)
        curl_multi_cleanup(multi_);
    curl_slist_free_all(sent_headers_);
}

void Request::close()
{
    cancelled_ = true;
    std::lock_guard guard(multi_lock_);
    if (multi_)
        curl_multi_wakeup(multi_);
}

DWORD Request::add_header(const std::string& line, DWORD modifiers)
{
    if (state_ != State::opened)
        return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    const auto colon = line.find(':');
    if (colon == std::string::npos)
        return ERROR_WINHTTP_INVALID_HEADER;
    const std::string name = trim(line.substr(0, colon));
    const std::string value = trim(line.substr(colon + 1));
    if (name.empty() || name.find_first_of(" \t\r\n") != std::string::npos)
        return ERROR_WINHTTP_INVALID_HEADER;

    auto existing = std::find_if(headers.begin(), headers.end(),
                                 [&](const auto& h) { return same_name(h.first, name); });
    const bool found = existing != headers.end();
    if (modifiers & WINHTTP_ADDREQ_FLAG_REPLACE) {
        if (found) {
            if (value.empty())
                headers.erase(existing);
            else
                existing->second = value;
            return ERROR_SUCCESS;
        }
        if (!(modifiers & WINHTTP_ADDREQ_FLAG_ADD))
            return ERROR_WINHTTP_HEADER_NOT_FOUND;
    } else if (modifiers & WINHTTP_ADDREQ_FLAG_ADD_IF_NEW) {
        if (found)
            return ERROR_WINHTTP_HEADER_ALREADY_EXISTS;
    } else if (found && (modifiers & (WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA |
                                      WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON))) {
        existing->second +=
            (modifiers & WINHTTP_ADDREQ_FLAG_COALESCE_WITH_COMMA) ? ", " + value : "; " + value;
        return ERROR_SUCCESS;
    }
    if (!value.empty())
        headers.emplace_back(name, value);
    return ERROR_SUCCESS;
}

bool Request::header_value(const std::string& name, DWORD index, std::string& value) const
{
    for (const std::string& line : header_lines_) {
        const auto colon = line.find(':');
        if (colon == std::string::npos || !same_name(trim(line.substr(0, colon)), name))
            continue;
        if (index-- == 0) {
            value = trim(line.substr(colon + 1));
            return true;
        }
    }
    return false;
}

int Request::timeout(int Timeouts::*which)
{
    std::lock_guard guard(timeouts_lock);
    return timeouts.*which;
}

DWORD Request::fail(DWORD error)
{
    state_ = State::failed;
    error_ = error;
    return error;
}

DWORD Request::start(DWORD total)
{
    CURL* easy = curl_easy_init();
    CURLM* multi = curl_multi_init();
    {
        std::lock_guard guard(multi_lock_);
        easy_ = easy;
        multi_ = multi;
    }
    if (!easy || !multi)
        return ERROR_NOT_ENOUGH_MEMORY;

    const Session& session = *connection->session;
    std::string host = connection->host;
    if (host.find(':') != std::string::npos && host.front() != '[')
        host = "[" + host + "]";
    const unsigned port = connection->port
                              ? connection->port
                              : (secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);
    const std::string url = std::string(secure ? "https://" : "http://") + host + ":" +
                            std::to_string(port) + escape_target(path);

    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // Redirects are followed, never from https down to http.
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY, session.proxy.c_str());
    if (!session.noproxy.empty())
        curl_easy_setopt(easy, CURLOPT_NOPROXY, session.noproxy.c_str());
    if (!session.agent.empty())
        curl_easy_setopt(easy, CURLOPT_USERAGENT, session.agent.c_str());
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(timeout(&Timeouts::connect)));

    if (verb == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
    } else if (total > 0 || verb == "POST") {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(total));
        curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Request::on_read);
        curl_easy_setopt(easy, CURLOPT_READDATA, this);
        if (verb != "POST")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, verb.c_str());
    } else {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        if (verb != "GET")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, verb.c_str());
    }

    // Only the caller's headers go out: libcurl's own defaults are switched off by naming them
    // empty where the caller did not set them.
    bool accept = false, content_type = false;
    for (const auto& [name, value] : headers) {
        accept |= same_name(name, "Accept");
        content_type |= same_name(name, "Content-Type");
        sent_headers_ = curl_slist_append(sent_headers_, (name + ": " + value).c_str());
    }
    if (!accept)
        sent_headers_ = curl_slist_append(sent_headers_, "Accept:");
    if (!content_type)
        sent_headers_ = curl_slist_append(sent_headers_, "Content-Type:");
    sent_headers_ = curl_slist_append(sent_headers_, "Expect:");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, sent_headers_);

    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Request::on_write);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Request::on_header);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    // The debug hook is how the layer learns that the request line and headers went out.
    curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &Request::on_debug);
    curl_easy_setopt(easy, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Request::on_progress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);

    if (curl_multi_add_handle(multi, easy) != CURLM_OK)
        return ERROR_WINHTTP_INTERNAL_ERROR;
    total_ = total;
    return ERROR_SUCCESS;
}

DWORD Request::drive(const std::function<bool()>& ready, int idle_ms)
{
    last_progress_ = Clock::now();
    while (!ready() && !transfer_done_) {
        if (cancelled_)
            return fail(ERROR_WINHTTP_OPERATION_CANCELLED);
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK)
            return fail(ERROR_WINHTTP_INTERNAL_ERROR);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi_, &queued)) {
            if (msg->msg == CURLMSG_DONE) {
                transfer_done_ = true;
                result_ = msg->data.result;
                if (result_ == CURLE_OK && !status_line_.empty())
                    final_headers_ = true;
            }
        }
        if (ready() || transfer_done_)
            break;
        int wait_ms = 1000;
        if (idle_ms > 0) {
            const auto idle =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last_progress_)
                    .count();
            if (idle >= idle_ms)
                return fail(ERROR_WINHTTP_TIMEOUT);
            wait_ms = std::min<int>(wait_ms, static_cast<int>(idle_ms - idle));
        }
        curl_multi_poll(multi_, nullptr, 0, wait_ms, nullptr);
    }
    if (cancelled_)
        return fail(ERROR_WINHTTP_OPERATION_CANCELLED);
    return ERROR_SUCCESS;
}

DWORD Request::send(const void* data, DWORD length, DWORD total)
{
    if (state_ != State::opened)
        return state_ == State::failed ? error_ : ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    total = std::max(total, length);
    if (DWORD error = start(total))
        return fail(error);
    pending_.assign(static_cast<const char*>(data), data ? length : 0);
    supplied_ = pending_.size();
    state_ = supplied_ < total_ ? State::sending : State::sent;

    notify(WINHTTP_CALLBACK_STATUS_SENDING_REQUEST, nullptr, 0);
    const int connect_ms = timeout(&Timeouts::connect), send_ms = timeout(&Timeouts::send);
    DWORD error = drive([this] { return request_sent_ && body_sent_ >= supplied_; },
                        connect_ms && send_ms ? connect_ms + send_ms : 0);
    if (error)
        return error;
    // A failure after the answer began (a body cut short) belongs to the reads, not to the send.
    if (transfer_done_ && result_ != CURLE_OK && status_line_.empty())
        return fail(map_curl_error(result_));
    notify(WINHTTP_CALLBACK_STATUS_REQUEST_SENT, nullptr, 0);
    return ERROR_SUCCESS;
}

DWORD Request::write(const void* data, DWORD length, DWORD* written)
{
    if (written)
        *written = 0;
    if (state_ == State::failed)
        return error_;
    if (state_ != State::sending)
        return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    if (supplied_ + length > total_)
        return ERROR_INVALID_PARAMETER;
    if (pending_taken_ == pending_.size()) {
        pending_.clear();
        pending_taken_ = 0;
    }
    pending_.append(static_cast<const char*>(data), length);
    supplied_ += length;
    if (read_paused_) {
        read_paused_ = false;
        curl_easy_pause(easy_, CURLPAUSE_CONT);
    }
    // Returns once the bytes went out on the connection, not merely into libcurl's buffer.
    DWORD error = drive([this] { return body_sent_ >= supplied_; }, timeout(&Timeouts::send));
    if (error)
        return error;
    if (body_sent_ < supplied_)
        return fail(transfer_done_ && result_ != CURLE_OK ? map_curl_error(result_)
                                                          : ERROR_WINHTTP_CONNECTION_ERROR);
    if (written)
        *written = length;
    if (supplied_ == total_)
        state_ = State::sent;
    return ERROR_SUCCESS;
}

DWORD Request::receive()
{
    if (state_ == State::failed)
        return error_;
    if (state_ != State::sent)
        return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    notify(WINHTTP_CALLBACK_STATUS_RECEIVING_RESPONSE, nullptr, 0);
    DWORD error = drive([this] { return final_headers_; }, timeout(&Timeouts::receive));
    if (error)
        return error;
    if (!final_headers_)
        return fail(result_ != CURLE_OK ? map_curl_error(result_)
                                        : ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
    state_ = State::received;
    notify(WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED, nullptr, 0);
    return ERROR_SUCCESS;
}

DWORD Request::read(void* buffer, DWORD length, DWORD* read)
{
    *read = 0;
    if (state_ == State::failed)
        return error_;
    if (state_ != State::received)
        return ERROR_WINHTTP_INCORRECT_HANDLE_STATE;
    if (length == 0)
        return ERROR_SUCCESS;
    if (body_taken_ == body_.size()) {
        body_.clear();
        body_taken_ = 0;
        if (DWORD error = drive([this] { return !body_.empty(); }, timeout(&Timeouts::receive)))
            return error;
    }
    // What arrived is handed out before a failure that followed it is reported.
    const size_t n = std::min<size_t>(length, body_.size() - body_taken_);
    if (n == 0)
        return result_ == CURLE_OK ? ERROR_SUCCESS : fail(map_curl_error(result_));
    std::memcpy(buffer, body_.data() + body_taken_, n);
    body_taken_ += n;
    *read = static_cast<DWORD>(n);
    return ERROR_SUCCESS;
}

size_t Request::on_read(char* buffer, size_t size, size_t count, void* self)
{
    auto* r = static_cast<Request*>(self);
    const size_t available = r->pending_.size() - r->pending_taken_;
    if (available == 0) {
        if (r->supplied_ >= r->total_)
            return 0;
        r->read_paused_ = true;
        return CURL_READFUNC_PAUSE;
    }
    const size_t n = std::min(available, size * count);
    std::memcpy(buffer, r->pending_.data() + r->pending_taken_, n);
    r->pending_taken_ += n;
    r->last_progress_ = Clock::now();
    return n;
}

size_t Request::on_write(char* data, size_t size, size_t count, void* self)
{
    auto* r = static_cast<Request*>(self);
    // libcurl passes no body of a redirect it follows, so body bytes belong to the final answer.
    r->final_headers_ = true;
    r->body_.append(data, size * count);
    r->last_progress_ = Clock::now();
    return size * count;
}

size_t Request::on_header(char* data, size_t size, size_t count, void* self)
{
    auto* r = static_cast<Request*>(self);
    std::string line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    r->last_progress_ = Clock::now();
    if (line.rfind("HTTP/", 0) == 0) {
        // A new response (after a 1xx or a redirect) replaces the previous one's headers.
        r->status_line_ = line;
        r->header_lines_.clear();
        const auto space = line.find(' ');
        r->status_ =
            space == std::string::npos ? 0 : std::strtol(line.c_str() + space, nullptr, 10);
    } else if (line.empty()) {
        std::string location;
        const bool redirect =
            r->status_ >= 300 && r->status_ < 400 && r->header_value("Location", 0, location);
        if (r->status_ >= 200 && !redirect)
            r->final_headers_ = true;
    } else if ((line[0] == ' ' || line[0] == '\t') && !r->header_lines_.empty()) {
        r->header_lines_.back() += " " + trim(line);
    } else {
        r->header_lines_.push_back(line);
    }
    return size * count;
}

int Request::on_debug(CURL*, curl_infotype type, char*, size_t size, void* self)
{
    auto* r = static_cast<Request*>(self);
    if (type == CURLINFO_HEADER_OUT)
        r->request_sent_ = true;
    else if (type == CURLINFO_DATA_OUT)
        r->body_sent_ += size;
    return 0;
}

int Request::on_progress(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<Request*>(self)->cancelled_ ? 1 : 0;
}

} // namespace win32::detail::http
