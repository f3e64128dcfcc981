// Messages of a control device's Unix socket, shared by the kernel layer's bridge and the
// user-mode layer's device handles. A connection is one open handle: the server sends an open
// reply right after accepting (the status of IRP_MJ_CREATE); then each call is one request
// followed by one reply. Integers are little-endian (both ends run on this machine).
//
//   request: control_request, handle_count 64-bit handle values, input_length input bytes
//   reply:   control_reply, output_length output bytes
//
// Event handles named in a request travel as SCM_RIGHTS descriptors (eventfds) with the
// request's first byte, in the order of the listed handle values. The server makes each one an
// event handle of the connection's process and rewrites every 8-byte-aligned word of the input
// that held the client's value to the new handle, so the driver finds the event as it finds any
// handle of the requesting process; setting it signals the eventfd.
#pragma once

#include <cstdint>

namespace control_wire {

inline constexpr uint32_t request_magic = 0x5152424Cu; // "LBRQ"
inline constexpr uint32_t reply_magic = 0x5052424Cu;   // "LBRP"

// Largest input and largest output of one request; bigger messages are refused and the
// connection is closed, since the bytes that follow cannot be trusted to start a message.
inline constexpr uint32_t max_payload = 1u << 20;
inline constexpr uint32_t max_handles = 4;

enum class request_kind : uint32_t {
    device_control = 1,
    read = 2,
    write = 3,
};

struct control_request {
    uint32_t magic;
    uint32_t kind; // request_kind
    uint32_t code; // device-control code; 0 for read and write
    uint32_t input_length;
    uint32_t output_length;
    uint32_t handle_count;
    uint64_t offset; // read and write: byte offset
};
static_assert(sizeof(control_request) == 32);

struct control_reply {
    uint32_t magic;
    int32_t status; // NTSTATUS
    uint64_t information;
    uint32_t output_length; // bytes that follow: the output the caller receives
    uint32_t reserved;
};
static_assert(sizeof(control_reply) == 24);

} // namespace control_wire

#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <sys/socket.h>

namespace control_wire {

// Whole messages over the stream socket: false once the peer has gone or the socket failed.
inline bool send_all(int fd, const void* data, size_t length)
{
    auto* p = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

inline bool recv_all(int fd, void* data, size_t length)
{
    auto* p = static_cast<char*>(data);
    while (length > 0) {
        ssize_t n = ::recv(fd, p, length, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

// The socket of a device, R/control/NAME, where NAME is the device's NT name (UTF-8) with '%',
// '/' and '\' percent-escaped: "\Device\ZELRedAv" -> "%5CDevice%5CZELRedAv".
inline std::string socket_name(std::string_view device_utf8)
{
    std::string out;
    for (char c : device_utf8) {
        if (c == '%')
            out += "%25";
        else if (c == '/')
            out += "%2F";
        else if (c == '\\')
            out += "%5C";
        else
            out += c;
    }
    return out;
}

inline constexpr const char* socket_folder = "control";

} // namespace control_wire
