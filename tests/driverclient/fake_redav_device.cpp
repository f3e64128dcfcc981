#include "fake_redav_device.h"

#include "../../platform/ntos/src/bridge_control_wire.h"
#include "hostns/hostns.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool read_all(int fd, void* data, size_t length)
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

bool write_all(int fd, const void* data, size_t length)
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

bool send_reply(int fd, int32_t status, uint64_t information, const std::vector<uint8_t>& output,
                uint32_t limit)
{
    control_wire::control_reply reply{};
    reply.magic = control_wire::reply_magic;
    reply.status = status;
    reply.information = information;
    reply.output_length = uint32_t(std::min<size_t>(output.size(), limit));
    return write_all(fd, &reply, sizeof(reply)) &&
           write_all(fd, output.data(), reply.output_length);
}

} // namespace

FakeRedAvDevice::FakeRedAvDevice(const std::string& root)
{
    hostns::Namespace names(root, geteuid());
    const std::u16string device = u"\\Device\\ZELRedAv";
    if (names.publish_global(u"ZELRedAv", device) != 0)
        return;
    std::string folder = root + "/" + control_wire::socket_folder;
    ::mkdir(folder.c_str(), 0755);
    std::string path = folder + "/" + control_wire::socket_name(hostns::to_utf8(device));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path))
        return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, 8) != 0) {
        ::close(fd);
        return;
    }
    listen_fd_ = fd;
    stop_fd_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { serve(); });
}

FakeRedAvDevice::~FakeRedAvDevice()
{
    if (thread_.joinable()) {
        uint64_t one = 1;
        (void)!::write(stop_fd_, &one, sizeof(one));
        thread_.join();
    }
    if (listen_fd_ >= 0)
        ::close(listen_fd_);
    if (stop_fd_ >= 0)
        ::close(stop_fd_);
}

void FakeRedAvDevice::set_reply(uint32_t code, Reply reply)
{
    std::lock_guard guard(lock_);
    replies_[code] = std::move(reply);
}

std::vector<FakeRedAvDevice::Request> FakeRedAvDevice::requests() const
{
    std::lock_guard guard(lock_);
    return requests_;
}

int FakeRedAvDevice::opens() const
{
    std::lock_guard guard(lock_);
    return opens_;
}

int FakeRedAvDevice::closes() const
{
    std::lock_guard guard(lock_);
    return closes_;
}

bool FakeRedAvDevice::wait_all_closed() const
{
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(5), [&] { return closes_ == opens_; });
}

// A thread per connection, so that a handle the client forgets to close shows up as a failed
// check instead of blocking the next open.
void FakeRedAvDevice::serve()
{
    std::vector<std::thread> connections;
    for (;;) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break;
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        {
            std::lock_guard guard(lock_);
            ++opens_;
        }
        connections.emplace_back([this, fd] {
            serve_connection(fd);
            ::close(fd);
            std::lock_guard guard(lock_);
            ++closes_;
            changed_.notify_all();
        });
    }
    for (auto& t : connections)
        t.join();
}

void FakeRedAvDevice::serve_connection(int fd)
{
    if (!send_reply(fd, 0, 0, {}, 0))
        return;
    for (;;) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (fds[1].revents)
            return;
        control_wire::control_request header{};
        if (!read_all(fd, &header, sizeof(header)) || header.magic != control_wire::request_magic)
            return;
        std::vector<uint64_t> handles(header.handle_count);
        if (!handles.empty() && !read_all(fd, handles.data(), handles.size() * sizeof(uint64_t)))
            return;
        Request request{header.code, std::vector<uint8_t>(header.input_length),
                        header.output_length};
        if (header.input_length && !read_all(fd, request.input.data(), header.input_length))
            return;
        Reply reply;
        {
            std::lock_guard guard(lock_);
            requests_.push_back(request);
            auto it = replies_.find(header.code);
            if (it != replies_.end())
                reply = it->second;
        }
        if (!send_reply(fd, reply.status, reply.information, reply.output, header.output_length))
            return;
    }
}
