// Event objects over eventfds: a device signals the descriptor it was handed, so a waiter here
// sees the driver's KeSetEvent.
#include "device.h"
#include "errhandlingapi.h"
#include "handle_table.h"
#include "paths.h"
#include "synchapi.h"
#include "winerror.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace win32::detail {

namespace {

class EventObject : public HandleObject, public EventSource {
public:
    EventObject(int fd, bool manual) : fd_(fd), manual_(manual) {}
    ~EventObject() override { ::close(fd_); }
    int event_fd() const override { return fd_; }
    DWORD close() override { return ERROR_SUCCESS; }
    bool manual() const { return manual_; }

    // Signalled is a counter above zero; reading it brings it back to zero.
    bool set() const
    {
        const uint64_t one = 1;
        return ::write(fd_, &one, sizeof(one)) == sizeof(one) || errno == EAGAIN;
    }
    bool reset() const
    {
        uint64_t count = 0;
        return ::read(fd_, &count, sizeof(count)) == sizeof(count) || errno == EAGAIN;
    }

private:
    int fd_;
    bool manual_;
};

std::shared_ptr<EventObject> event_of(HANDLE handle)
{
    return handle_lookup_as<EventObject>(handle);
}

} // namespace

} // namespace win32::detail

using namespace win32::detail;

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCWSTR lpName)
{
    if (lpName && *lpName) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    int fd = ::eventfd(bInitialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    SetLastError(ERROR_SUCCESS);
    return handle_insert(std::make_shared<EventObject>(fd, bManualReset != FALSE));
}

BOOL WINAPI SetEvent(HANDLE hEvent)
{
    auto event = event_of(hEvent);
    if (!event)
        return fail(ERROR_INVALID_HANDLE);
    return event->set() ? TRUE : fail(ERROR_GEN_FAILURE);
}

BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    auto event = event_of(hEvent);
    if (!event)
        return fail(ERROR_INVALID_HANDLE);
    return event->reset() ? TRUE : fail(ERROR_GEN_FAILURE);
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    auto event = event_of(hHandle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(dwMilliseconds);
    for (;;) {
        int timeout = -1;
        if (dwMilliseconds != INFINITE) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
            timeout = int(std::max<long long>(0, std::min<long long>(left.count(), 0x7FFFFFFF)));
        }
        pollfd p{event->event_fd(), POLLIN, 0};
        int n = ::poll(&p, 1, timeout);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            SetLastError(ERROR_GEN_FAILURE);
            return WAIT_FAILED;
        }
        if (n == 0)
            return WAIT_TIMEOUT;
        if (event->manual())
            return WAIT_OBJECT_0;
        // Another waiter may have taken the signal first: then wait on.
        uint64_t count = 0;
        if (::read(event->event_fd(), &count, sizeof(count)) == sizeof(count))
            return WAIT_OBJECT_0;
        if (errno != EAGAIN) {
            SetLastError(ERROR_GEN_FAILURE);
            return WAIT_FAILED;
        }
    }
}
