// Device handles over the service's control sockets, DeviceIoControl and the NTSTATUS mapping.
#include "device.h"

#include "errhandlingapi.h"
#include "handle_table.h"
#include "ioapiset.h"
#include "winerror.h"

#include <hostns/control_wire.h>
#include <hostns/hostns.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#ifndef ERROR_MR_MID_NOT_FOUND
#define ERROR_MR_MID_NOT_FOUND 317L
#endif

namespace win32::detail {

namespace {

using control_wire::control_reply;
using control_wire::control_request;
using control_wire::recv_all;
using control_wire::request_kind;
using control_wire::send_all;

bool discard(int fd, size_t length)
{
    char scratch[4096];
    while (length > 0) {
        size_t chunk = length < sizeof(scratch) ? length : sizeof(scratch);
        if (!recv_all(fd, scratch, chunk))
            return false;
        length -= chunk;
    }
    return true;
}

// The header goes out with sendmsg so that event descriptors ride along with its first byte.
bool send_header(int fd, const control_request& header, const std::vector<int>& fds)
{
    iovec iov{const_cast<control_request*>(&header), sizeof(header)};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * control_wire::max_handles)];
    if (!fds.empty()) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(cmsg), fds.data(), sizeof(int) * fds.size());
    }
    for (;;) {
        ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        if (size_t(n) == sizeof(header))
            return true;
        return send_all(fd, reinterpret_cast<const char*>(&header) + n, sizeof(header) - size_t(n));
    }
}

class ControlDeviceObject : public HandleObject {
public:
    explicit ControlDeviceObject(int fd) : fd_(fd) {}
    ~ControlDeviceObject() override
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    DWORD read(void* buffer, DWORD length, DWORD* transferred) override
    {
        return transact(request_kind::read, 0, nullptr, 0, buffer, length, transferred);
    }

    DWORD write(const void* buffer, DWORD length, DWORD* transferred) override
    {
        return transact(request_kind::write, 0, buffer, length, nullptr, 0, transferred);
    }

    DWORD device_io_control(DWORD code, const void* input, DWORD input_length, void* output,
                            DWORD output_length, DWORD* returned) override
    {
        return transact(request_kind::device_control, code, input, input_length, output,
                        output_length, returned);
    }

    // Disconnecting is the device's cleanup and close.
    DWORD close() override
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        return ERROR_SUCCESS;
    }

private:
    DWORD transact(request_kind kind, DWORD code, const void* input, DWORD input_length,
                   void* output, DWORD output_length, DWORD* transferred)
    {
        *transferred = 0;
        if (input_length > control_wire::max_payload || output_length > control_wire::max_payload)
            return ERROR_INVALID_PARAMETER;

        control_request header{};
        header.magic = control_wire::request_magic;
        header.kind = uint32_t(kind);
        header.code = code;
        header.input_length = input_length;
        header.output_length = output_length;
        uint64_t handle_value = 0;
        std::vector<int> fds;
        if (kind == request_kind::device_control && input_length == sizeof(uint64_t)) {
            std::memcpy(&handle_value, input, sizeof(handle_value));
            auto event = std::dynamic_pointer_cast<EventSource>(
                handle_lookup(reinterpret_cast<HANDLE>(uintptr_t(handle_value))));
            if (event && handle_value != 0) {
                fds.push_back(event->event_fd());
                header.handle_count = 1;
            }
        }

        std::lock_guard<std::mutex> guard(lock_);
        if (fd_ < 0)
            return ERROR_INVALID_HANDLE;
        // One request at a time per handle: replies carry no request id.
        bool sent =
            send_header(fd_, header, fds) &&
            (header.handle_count == 0 || send_all(fd_, &handle_value, sizeof(handle_value))) &&
            (input_length == 0 || send_all(fd_, input, input_length));
        control_reply reply{};
        if (!sent || !recv_all(fd_, &reply, sizeof(reply)) ||
            reply.magic != control_wire::reply_magic || reply.output_length > output_length) {
            return broken();
        }
        if (reply.output_length > 0 && !recv_all(fd_, output, reply.output_length))
            return broken();
        LONG status = reply.status;
        bool error = (ULONG(status) >> 30) == 3;
        if (!error)
            *transferred = DWORD(reply.information <= output_length || kind == request_kind::write
                                     ? reply.information
                                     : output_length);
        return nt_status_to_dos_error(status);
    }

    // The service went away or spoke out of turn: the handle is of no further use.
    DWORD broken()
    {
        ::close(fd_);
        fd_ = -1;
        return ERROR_GEN_FAILURE;
    }

    std::mutex lock_;
    int fd_;
};

DWORD connect_error(int err)
{
    if (err == EACCES || err == EPERM)
        return ERROR_ACCESS_DENIED;
    return ERROR_FILE_NOT_FOUND;
}

} // namespace

DWORD nt_status_to_dos_error(LONG status)
{
    struct mapping {
        ULONG status;
        DWORD error;
    };
    static const mapping table[] = {
        {0x00000103, ERROR_IO_PENDING},           // STATUS_PENDING
        {0x80000005, ERROR_MORE_DATA},            // STATUS_BUFFER_OVERFLOW
        {0x80000006, ERROR_NO_MORE_FILES},        // STATUS_NO_MORE_FILES
        {0x80000011, ERROR_BUSY},                 // STATUS_DEVICE_BUSY
        {0x8000001A, ERROR_NO_MORE_ITEMS},        // STATUS_NO_MORE_ENTRIES
        {0xC0000001, ERROR_GEN_FAILURE},          // STATUS_UNSUCCESSFUL
        {0xC0000002, ERROR_INVALID_FUNCTION},     // STATUS_NOT_IMPLEMENTED
        {0xC0000003, ERROR_INVALID_PARAMETER},    // STATUS_INVALID_INFO_CLASS
        {0xC0000004, 24},                         // STATUS_INFO_LENGTH_MISMATCH: ERROR_BAD_LENGTH
        {0xC0000005, ERROR_NOACCESS},             // STATUS_ACCESS_VIOLATION
        {0xC0000008, ERROR_INVALID_HANDLE},       // STATUS_INVALID_HANDLE
        {0xC000000D, ERROR_INVALID_PARAMETER},    // STATUS_INVALID_PARAMETER
        {0xC000000E, ERROR_FILE_NOT_FOUND},       // STATUS_NO_SUCH_DEVICE
        {0xC000000F, ERROR_FILE_NOT_FOUND},       // STATUS_NO_SUCH_FILE
        {0xC0000010, ERROR_INVALID_FUNCTION},     // STATUS_INVALID_DEVICE_REQUEST
        {0xC0000011, ERROR_HANDLE_EOF},           // STATUS_END_OF_FILE
        {0xC0000013, ERROR_NOT_READY},            // STATUS_NO_MEDIA_IN_DEVICE
        {0xC0000017, ERROR_NOT_ENOUGH_MEMORY},    // STATUS_NO_MEMORY
        {0xC0000022, ERROR_ACCESS_DENIED},        // STATUS_ACCESS_DENIED
        {0xC0000023, ERROR_INSUFFICIENT_BUFFER},  // STATUS_BUFFER_TOO_SMALL
        {0xC0000024, ERROR_INVALID_HANDLE},       // STATUS_OBJECT_TYPE_MISMATCH
        {0xC0000033, ERROR_INVALID_NAME},         // STATUS_OBJECT_NAME_INVALID
        {0xC0000034, ERROR_FILE_NOT_FOUND},       // STATUS_OBJECT_NAME_NOT_FOUND
        {0xC0000035, ERROR_ALREADY_EXISTS},       // STATUS_OBJECT_NAME_COLLISION
        {0xC0000039, 161},                        // STATUS_OBJECT_PATH_INVALID: ERROR_BAD_PATHNAME
        {0xC000003A, ERROR_PATH_NOT_FOUND},       // STATUS_OBJECT_PATH_NOT_FOUND
        {0xC000003B, 161},                        // STATUS_OBJECT_PATH_SYNTAX_BAD
        {0xC0000043, ERROR_SHARING_VIOLATION},    // STATUS_SHARING_VIOLATION
        {0xC0000044, 1816},                       // STATUS_QUOTA_EXCEEDED: ERROR_NOT_ENOUGH_QUOTA
        {0xC0000054, ERROR_LOCK_VIOLATION},       // STATUS_FILE_LOCK_CONFLICT
        {0xC0000055, ERROR_LOCK_VIOLATION},       // STATUS_LOCK_NOT_GRANTED
        {0xC0000056, ERROR_ACCESS_DENIED},        // STATUS_DELETE_PENDING
        {0xC0000061, ERROR_PRIVILEGE_NOT_HELD},   // STATUS_PRIVILEGE_NOT_HELD
        {0xC000007C, ERROR_NO_TOKEN},             // STATUS_NO_TOKEN
        {0xC000007F, ERROR_DISK_FULL},            // STATUS_DISK_FULL
        {0xC000009A, 1450},                       // STATUS_INSUFFICIENT_RESOURCES
        {0xC00000A2, ERROR_WRITE_PROTECT},        // STATUS_MEDIA_WRITE_PROTECTED
        {0xC00000A3, ERROR_NOT_READY},            // STATUS_DEVICE_NOT_READY
        {0xC00000B0, 233},                        // STATUS_PIPE_DISCONNECTED
        {0xC00000B5, 121},                        // STATUS_IO_TIMEOUT: ERROR_SEM_TIMEOUT
        {0xC00000BA, ERROR_ACCESS_DENIED},        // STATUS_FILE_IS_A_DIRECTORY
        {0xC00000BB, ERROR_NOT_SUPPORTED},        // STATUS_NOT_SUPPORTED
        {0xC00000C0, 55},                         // STATUS_DEVICE_DOES_NOT_EXIST
        {0xC00000E8, ERROR_INVALID_USER_BUFFER},  // STATUS_INVALID_USER_BUFFER
        {0xC0000101, ERROR_DIR_NOT_EMPTY},        // STATUS_DIRECTORY_NOT_EMPTY
        {0xC0000103, ERROR_DIRECTORY},            // STATUS_NOT_A_DIRECTORY
        {0xC0000106, ERROR_FILENAME_EXCED_RANGE}, // STATUS_NAME_TOO_LONG
        {0xC000011F, ERROR_TOO_MANY_OPEN_FILES},  // STATUS_TOO_MANY_OPENED_FILES
        {0xC0000120, ERROR_OPERATION_ABORTED},    // STATUS_CANCELLED
        {0xC0000184, 22},                         // STATUS_INVALID_DEVICE_STATE: ERROR_BAD_COMMAND
        {0xC0000185, 1117},                       // STATUS_IO_DEVICE_ERROR: ERROR_IO_DEVICE
        {0xC0000206, ERROR_INVALID_USER_BUFFER},  // STATUS_INVALID_BUFFER_SIZE
        {0xC0000225, 1168},                       // STATUS_NOT_FOUND: ERROR_NOT_FOUND
    };
    ULONG value = ULONG(status);
    for (const mapping& m : table) {
        if (m.status == value)
            return m.error;
    }
    if (value < 0x80000000u)
        return ERROR_SUCCESS;
    // Statuses that wrap a Windows error code (facility 7) carry it in their low word.
    if ((value & 0x0FFF0000u) == 0x00070000u)
        return value & 0xFFFFu;
    return ERROR_MR_MID_NOT_FOUND;
}

HANDLE device_open(std::u16string_view name, DWORD, DWORD, DWORD, DWORD)
{
    hostns::Namespace names;
    std::optional<std::u16string> target = names.query(name);
    if (!target || target->empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = names.root() + "/" + control_wire::socket_folder + "/" +
                       control_wire::socket_name(hostns::to_utf8(*target));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return INVALID_HANDLE_VALUE;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        DWORD error = connect_error(errno);
        ::close(fd);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    // The service answers every connection with the status of its open.
    control_reply reply{};
    if (!recv_all(fd, &reply, sizeof(reply)) || reply.magic != control_wire::reply_magic ||
        (reply.output_length > 0 && !discard(fd, reply.output_length))) {
        ::close(fd);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if ((ULONG(reply.status) >> 30) == 3) {
        ::close(fd);
        SetLastError(nt_status_to_dos_error(reply.status));
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return handle_insert(std::make_shared<ControlDeviceObject>(fd));
}

} // namespace win32::detail

using namespace win32::detail;

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped)
{
    if (lpBytesReturned)
        *lpBytesReturned = 0;
    if (lpOverlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto object = handle_lookup(hDevice);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if ((!lpInBuffer && nInBufferSize) || (!lpOutBuffer && nOutBufferSize)) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    DWORD returned = 0;
    DWORD error = object->device_io_control(dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                            nOutBufferSize, &returned);
    if (lpBytesReturned)
        *lpBytesReturned = returned;
    SetLastError(error);
    return error == ERROR_SUCCESS;
}
