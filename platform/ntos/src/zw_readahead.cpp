// Read-ahead for unbuffered host files: one helper thread per handle, started by the first
// sequential read.
#include "zw_readahead.h"

#include "zw_aligned.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace ntos::detail {

struct direct_read_ahead::state {
    int fd = -1;
    std::mutex lock;
    std::condition_variable wake; // a stretch is wanted, or stopping
    std::condition_variable done; // the stretch under way has arrived
    bool stopping = false;
    bool thread_started = false;

    uint64_t last_end = UINT64_MAX; // end of the last read
    bool pending = false;           // the stretch is planned, the helper has not taken it
    bool busy = false;              // the stretch is planned or being read
    uint64_t offset = UINT64_MAX;   // the stretch
    ULONG length = 0;
    ULONG got = 0;
    bool failed = false;
    uint64_t generation = 0; // `changes` when the stretch was planned

    // Bumped before and after every change: odd while one is under way.
    std::atomic<uint64_t> changes{0};

    // Only the helper touches it while `busy`.
    aligned_scratch data;

    ~state()
    {
        if (fd >= 0)
            ::close(fd);
    }

    bool fill(uint64_t at, ULONG count, ULONG* read)
    {
        uint8_t* into = data.get(count);
        if (!into)
            return false;
        *read = 0;
        while (*read < count) {
            ssize_t n = ::pread(fd, into + *read, count - *read, static_cast<off_t>(at + *read));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return false;
            if (n == 0)
                break;
            *read += static_cast<ULONG>(n);
        }
        return true;
    }
};

void direct_read_ahead::serve(std::shared_ptr<state> s)
{
    std::unique_lock<std::mutex> guard(s->lock);
    for (;;) {
        s->wake.wait(guard, [&] { return s->stopping || s->pending; });
        if (s->stopping)
            break;
        s->pending = false;
        const uint64_t at = s->offset;
        const ULONG count = s->length;
        guard.unlock();
        ULONG read = 0;
        bool ok = s->fill(at, count, &read);
        guard.lock();
        s->got = read;
        s->failed = !ok;
        s->busy = false;
        s->done.notify_all();
    }
    // Whoever waits for a stretch must not wait for ever.
    s->busy = false;
    s->done.notify_all();
}

std::unique_ptr<direct_read_ahead> direct_read_ahead::create(int fd)
{
    auto s = std::make_shared<state>();
    s->fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (s->fd < 0)
        return nullptr;
    return std::unique_ptr<direct_read_ahead>(new direct_read_ahead(std::move(s)));
}

direct_read_ahead::direct_read_ahead(std::shared_ptr<state> s) : state_(std::move(s)) {}

direct_read_ahead::~direct_read_ahead()
{
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->stopping = true;
    state_->wake.notify_all();
}

bool direct_read_ahead::read(void* buffer, ULONG length, uint64_t offset, ULONG* done)
{
    state& s = *state_;
    std::unique_lock<std::mutex> guard(s.lock);
    if (s.busy && s.offset == offset && s.length == length)
        s.done.wait(guard, [&] { return !s.busy; });
    const bool sequential = offset == s.last_end;
    s.last_end = offset + length;
    const uint64_t now = s.changes.load();
    const bool hit = !s.busy && s.offset == offset && s.length == length && !s.failed &&
                     s.generation == now && now % 2 == 0;
    if (hit) {
        std::memcpy(buffer, s.data.data(), s.got);
        *done = s.got;
        s.offset = UINT64_MAX;
    }
    // A stretch that came back short met the end of the file: nothing lies beyond it.
    const bool more = !hit || s.got == length;
    if (sequential && more && !s.busy && !s.stopping && length >= minimum && length <= maximum) {
        s.offset = offset + length;
        s.length = length;
        s.generation = now;
        s.busy = true;
        s.pending = true;
        if (!s.thread_started) {
            try {
                std::thread(serve, state_).detach();
                s.thread_started = true;
            } catch (const std::system_error&) {
                s.busy = s.pending = false; // no read-ahead, reads go on as they are
            }
        }
        s.wake.notify_one();
    }
    return hit;
}

direct_read_ahead::change::change(direct_read_ahead* ahead) : ahead_(ahead)
{
    if (ahead_)
        ahead_->state_->changes++;
}

direct_read_ahead::change::~change()
{
    if (ahead_)
        ahead_->state_->changes++;
}

} // namespace ntos::detail
