#include "fake_redav_device.h"

#include <hostns/control_wire.h>
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

using control_wire::recv_all;
using control_wire::send_all;

bool send_reply(int fd, const FakeRedAvDevice::Reply& r, uint32_t limit)
{
    control_wire::control_reply reply{control_wire::reply_magic, r.status, r.information,
                                      uint32_t(std::min<size_t>(r.output.size(), limit)), 0};
    std::vector<uint8_t> output(r.output.begin(), r.output.begin() + reply.output_length);
    return send_all(fd, &reply, sizeof(reply)) && send_all(fd, output.data(), output.size());
}

// True while the connection has bytes to read, false once stop_fd is signalled.
bool wait_readable(int fd, int stop_fd)
{
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0)
        if (errno != EINTR)
            return false;
    return fds[1].revents == 0;
}

} // namespace

FakeRedAvDevice::FakeRedAvDevice(const std::string& root)
{
    const std::u16string device = u"\\Device\\ZELRedAv";
    if (hostns::Namespace(root, geteuid()).publish_global(u"ZELRedAv", device) != 0)
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
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(fd, 8) != 0) {
        if (fd >= 0)
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

bool FakeRedAvDevice::wait_all_closed() const
{
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::seconds(5),
                             [&] { return open_connections_ == 0; });
}

// A thread per connection, so that a handle the client forgets to close shows up as a failed
// check instead of blocking the next open.
void FakeRedAvDevice::serve()
{
    std::vector<std::thread> connections;
    while (wait_readable(listen_fd_, stop_fd_)) {
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        {
            std::lock_guard guard(lock_);
            ++open_connections_;
        }
        connections.emplace_back([this, fd] {
            serve_connection(fd);
            ::close(fd);
            std::lock_guard guard(lock_);
            --open_connections_;
            changed_.notify_all();
        });
    }
    for (auto& t : connections)
        t.join();
}

void FakeRedAvDevice::serve_connection(int fd)
{
    if (!send_reply(fd, Reply{}, 0)) // the open's status
        return;
    while (wait_readable(fd, stop_fd_)) {
        control_wire::control_request header{};
        // The client sends no event handles: a request that names one ends the connection.
        if (!recv_all(fd, &header, sizeof(header)) || header.magic != control_wire::request_magic ||
            header.handle_count != 0)
            return;
        Request request{header.code, std::vector<uint8_t>(header.input_length),
                        header.output_length};
        if (!recv_all(fd, request.input.data(), request.input.size()))
            return;
        Reply reply;
        {
            std::lock_guard guard(lock_);
            requests_.push_back(request);
            if (auto it = replies_.find(header.code); it != replies_.end())
                reply = it->second;
        }
        if (!send_reply(fd, reply, header.output_length))
            return;
    }
}
