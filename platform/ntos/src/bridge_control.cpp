// The control bridge: sockets for the \GLOBAL?? devices, one thread per connection.
#include "bridge_control.h"

#include <hostns/control_wire.h>
#include "bridge_publish.h"
#include "host_internal.h"
#include "ob_internal.h"
#include "ps_internal.h"
#include "se_internal.h"

#include <ntos_layer.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <list>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace ntos::detail {

namespace {

using control_wire::control_reply;
using control_wire::control_request;
using control_wire::recv_all;
using control_wire::request_kind;
using control_wire::send_all;

// ----- socket helpers ---------------------------------------------------------------------

void close_fds(std::vector<int>& fds)
{
    for (int fd : fds)
        ::close(fd);
    fds.clear();
}

// Once a message has begun, the rest of it must follow within this time: a peer that stops
// half-way only holds its own connection, and not for long.
constexpr int message_patience_ms = 3000;

using deadline_clock = std::chrono::steady_clock;

// recv_all with a deadline: false when the peer has gone, failed or is too slow.
bool recv_until(int fd, void* data, size_t length, deadline_clock::time_point deadline)
{
    auto* p = static_cast<char*>(data);
    while (length > 0) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - deadline_clock::now());
        pollfd wait{fd, POLLIN, 0};
        int ready = left.count() > 0 ? ::poll(&wait, 1, int(left.count())) : 0;
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        ssize_t n = ::recv(fd, p, length, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        p += n;
        length -= size_t(n);
    }
    return true;
}

// Reads a request header and the descriptors that came with it. An idle peer may wait as long
// as it likes for its first byte; from then on the message runs against *deadline.
bool recv_header(int fd, control_request* header, std::vector<int>* fds,
                 deadline_clock::time_point* deadline)
{
    iovec iov{header, sizeof(*header)};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * control_wire::max_handles)];
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    ssize_t n;
    do {
        n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    *deadline = deadline_clock::now() + std::chrono::milliseconds(message_patience_ms);
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) {
            size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; ++i) {
                int received;
                std::memcpy(&received, CMSG_DATA(c) + i * sizeof(int), sizeof(int));
                fds->push_back(received);
            }
        }
    }
    // A peer that sent more descriptors than fit has lost some: refuse the whole message.
    if (msg.msg_flags & MSG_CTRUNC)
        return false;
    return size_t(n) == sizeof(*header) || recv_until(fd, reinterpret_cast<char*>(header) + n,
                                                      sizeof(*header) - size_t(n), *deadline);
}

bool send_reply(int fd, NTSTATUS status, ULONG_PTR information, const void* output,
                uint32_t output_length)
{
    control_reply reply{};
    reply.magic = control_wire::reply_magic;
    reply.status = status;
    reply.information = information;
    reply.output_length = output_length;
    return send_all(fd, &reply, sizeof(reply)) &&
           (output_length == 0 || send_all(fd, output, output_length));
}

// ----- peers ------------------------------------------------------------------------------

std::string peer_image_name(pid_t pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

// What the kernel says of a peer at accept: the only identity its requests ever run with, so a
// later exec or a reused pid cannot change it.
struct peer_identity {
    se_identity who;
    pid_t pid = 0;
    std::string image_name;
};

bool accept_identity(int fd, peer_identity* peer)
{
    ucred cred{};
    socklen_t length = sizeof(cred);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0)
        return false;
    std::vector<gid_t> groups(64);
    for (;;) {
        length = socklen_t(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0)
            break;
        if (errno != ERANGE || groups.size() >= 65536)
            return false;
        groups.resize(std::max<size_t>(groups.size() * 2, length / sizeof(gid_t)));
    }
    groups.resize(length / sizeof(gid_t));
    peer->who.uid = cred.uid;
    peer->who.gid = cred.gid;
    peer->who.groups = std::move(groups);
    peer->pid = cred.pid;
    peer->image_name = peer_image_name(cred.pid);
    return true;
}

// Only eventfds are taken as event handles: a pipe or a socket could make the signalling block.
bool is_eventfd(int fd)
{
    char target[64];
    ssize_t n =
        ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof(target) - 1);
    return n > 0 && std::string_view(target, size_t(n)) == "anon_inode:[eventfd]";
}

// A watcher stuck in write() on an eventfd its peer has filled is woken by this signal.
int wake_signal()
{
    return SIGRTMIN + 1;
}

void install_wake_signal()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: the write must return EINTR
        ::sigaction(wake_signal(), &action, nullptr);
    });
}

// An event handed over by a peer: an event object of the peer's process whose signals reach
// the peer's eventfd through a small watcher thread.
struct peer_event {
    PKEVENT event = nullptr; // referenced
    int fd = -1;
    std::atomic<bool> stopping{false};
    std::thread watcher;

    std::atomic<bool> exited{false};

    ~peer_event()
    {
        if (watcher.joinable()) {
            stopping = true;
            KeSetEvent(event, IO_NO_INCREMENT, FALSE);
            // The peer can fill its eventfd between the watcher's check and its write: interrupt
            // the write until the watcher has gone.
            pthread_t handle = watcher.native_handle();
            while (!exited) {
                ::pthread_kill(handle, wake_signal());
                ::poll(nullptr, 0, 5);
            }
            watcher.join();
        }
        if (event)
            ObDereferenceObject(event);
        if (fd >= 0)
            ::close(fd);
    }
};

// Makes an event of the current (attached) process for fd; returns its handle value.
std::unique_ptr<peer_event> make_peer_event(int fd, HANDLE* handle)
{
    auto* body =
        static_cast<PKEVENT>(ob_create_object(object_kind::event, sizeof(KEVENT), nullptr));
    if (body == nullptr)
        return nullptr;
    KeInitializeEvent(body, SynchronizationEvent, FALSE);
    if (!NT_SUCCESS(ob_insert_handle(body, EVENT_ALL_ACCESS, 0, handle))) {
        ob_dereference(body);
        return nullptr;
    }
    auto pe = std::make_unique<peer_event>();
    pe->event = body;
    pe->fd = fd;
    peer_event* raw = pe.get();
    try {
        pe->watcher = std::thread([raw] {
            for (;;) {
                KeWaitForSingleObject(raw->event, Executive, KernelMode, FALSE, nullptr);
                if (raw->stopping)
                    break;
                // A full eventfd only means the peer is not listening: the signal is dropped.
                pollfd room{raw->fd, POLLOUT, 0};
                if (::poll(&room, 1, 0) == 1 && (room.revents & POLLOUT)) {
                    uint64_t one = 1;
                    ssize_t n = ::write(raw->fd, &one, sizeof(one));
                    (void)n;
                }
            }
            raw->exited = true;
        });
    } catch (const std::system_error&) {
        // No thread for it: the event stays a valid handle that simply never wakes the peer.
    }
    return pe;
}

constexpr size_t max_events_per_connection = 16;

// ----- listeners and connections ----------------------------------------------------------

struct connection {
    int fd = -1;
    peer_identity peer;
    std::thread thread;
    std::atomic<bool> done{false};
};

struct listener {
    std::u16string link_name;
    std::u16string device_name;
    PDEVICE_OBJECT device = nullptr; // referenced
    std::string socket_path;
    std::string link_path;
    int fd = -1;
    std::thread accept_thread;
    std::mutex lock;
    std::list<std::shared_ptr<connection>> connections;
};

struct bridge_state {
    std::mutex lock;
    bool started = false;
    int watcher_id = -1;
    std::list<std::shared_ptr<listener>> listeners;
    std::list<std::shared_ptr<listener>> retired; // link gone, connections may remain
};

bridge_state& state()
{
    static bridge_state s;
    return s;
}

bool is_drive_name(const std::u16string& name)
{
    return name.size() == 2 && name[1] == u':';
}

// One request of a connection; false when the connection must end.
bool serve_request(listener& l, int fd, PFILE_OBJECT file,
                   std::vector<std::unique_ptr<peer_event>>& events)
{
    control_request header{};
    std::vector<int> fds;
    deadline_clock::time_point deadline;
    if (!recv_header(fd, &header, &fds, &deadline)) {
        close_fds(fds);
        return false;
    }
    if (header.magic != control_wire::request_magic) {
        close_fds(fds);
        return false;
    }
    // Oversized or inconsistent messages: the bytes behind them cannot be trusted to end where
    // the header says, so the answer is a refusal and the end of the connection.
    if (header.input_length > control_wire::max_payload ||
        header.output_length > control_wire::max_payload ||
        header.handle_count > control_wire::max_handles || fds.size() != header.handle_count ||
        header.kind < uint32_t(request_kind::device_control) ||
        header.kind > uint32_t(request_kind::write)) {
        close_fds(fds);
        send_reply(fd, STATUS_INVALID_PARAMETER, 0, nullptr, 0);
        return false;
    }
    std::vector<uint64_t> values(header.handle_count);
    std::vector<uint8_t> input(header.input_length);
    if ((header.handle_count > 0 && !recv_until(fd, values.data(), values.size() * 8, deadline)) ||
        (header.input_length > 0 && !recv_until(fd, input.data(), input.size(), deadline))) {
        close_fds(fds);
        return false;
    }
    if (!std::all_of(fds.begin(), fds.end(), is_eventfd)) {
        close_fds(fds);
        return send_reply(fd, STATUS_INVALID_HANDLE, 0, nullptr, 0);
    }
    // Handed-over events become handles of this process; the input names them by their new
    // values, wherever it held the peer's.
    for (size_t i = 0; i < fds.size(); ++i) {
        HANDLE local = nullptr;
        // Each event costs a watcher thread: a connection gets a bounded number of them.
        auto pe =
            events.size() < max_events_per_connection ? make_peer_event(fds[i], &local) : nullptr;
        if (!pe) {
            ::close(fds[i]);
            continue;
        }
        uint64_t replacement = uint64_t(reinterpret_cast<uintptr_t>(local));
        for (size_t at = 0; at + 8 <= input.size(); at += 8) {
            uint64_t word;
            std::memcpy(&word, input.data() + at, 8);
            if (word == values[i])
                std::memcpy(input.data() + at, &replacement, 8);
        }
        events.push_back(std::move(pe));
    }
    fds.clear();

    std::vector<uint8_t> output(header.output_length);
    ntos::request what;
    switch (request_kind(header.kind)) {
    case request_kind::device_control:
        what.major = IRP_MJ_DEVICE_CONTROL;
        what.code = header.code;
        what.input = input.data();
        what.input_length = header.input_length;
        what.output = output.data();
        what.output_length = header.output_length;
        break;
    case request_kind::read:
        what.major = IRP_MJ_READ;
        what.output = output.data();
        what.output_length = header.output_length;
        what.offset = LONGLONG(header.offset);
        break;
    case request_kind::write:
        what.major = IRP_MJ_WRITE;
        what.input = input.data();
        what.input_length = header.input_length;
        what.offset = LONGLONG(header.offset);
        break;
    }
    ULONG_PTR information = 0;
    NTSTATUS status = ntos::send_request(l.device, file, what, &information);
    uint32_t returned = 0;
    if (!NT_ERROR(status) && request_kind(header.kind) != request_kind::write)
        returned = uint32_t(std::min<ULONG_PTR>(information, header.output_length));
    return send_reply(fd, status, information, output.data(), returned);
}

void serve_connection(std::shared_ptr<listener> l, std::shared_ptr<connection> c)
{
    const peer_identity& peer = c->peer;
    PEPROCESS process = ntos::create_client_process(peer.image_name.c_str(), peer.who.uid,
                                                    peer.who.uid, peer.who.gid, peer.pid);
    if (process == nullptr) {
        send_reply(c->fd, STATUS_INSUFFICIENT_RESOURCES, 0, nullptr, 0);
        c->done = true;
        return;
    }
    // The client's \?? must hold its own drives from its first request on.
    publish_prepare_session(peer.who);
    se_set_process_identity(process, peer.who);
    {
        ntos::process_attachment attach(process);
        PFILE_OBJECT file = nullptr;
        NTSTATUS status =
            ntos::open_device_file(l->device, u"", GENERIC_READ | GENERIC_WRITE, &file);
        std::vector<std::unique_ptr<peer_event>> events;
        if (send_reply(c->fd, status, 0, nullptr, 0) && NT_SUCCESS(status)) {
            while (serve_request(*l, c->fd, file, events)) {
            }
        }
        if (file != nullptr)
            ntos::close_device_file(file);
        events.clear();
    }
    ntos::close_client_process(process);
    ObDereferenceObject(process);
    ::shutdown(c->fd, SHUT_RDWR);
    c->done = true;
}

void reap(listener& l, bool all)
{
    std::list<std::shared_ptr<connection>> finished;
    {
        std::lock_guard<std::mutex> guard(l.lock);
        for (auto it = l.connections.begin(); it != l.connections.end();) {
            if (all || (*it)->done) {
                finished.push_back(*it);
                it = l.connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished) {
        if (all)
            ::shutdown(c->fd, SHUT_RDWR);
        if (c->thread.joinable())
            c->thread.join();
        ::close(c->fd);
    }
}

void accept_loop(std::shared_ptr<listener> l)
{
    for (;;) {
        int fd = ::accept4(l->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: let connections end before trying again.
                ::poll(nullptr, 0, 100);
                reap(*l, false);
                continue;
            }
            return; // shut down
        }
        reap(*l, false);
        auto c = std::make_shared<connection>();
        c->fd = fd;
        if (!accept_identity(fd, &c->peer)) {
            ::close(fd);
            continue;
        }
        std::lock_guard<std::mutex> guard(l->lock);
        // Root is never turned away; every other user has a share of the slots of its own.
        if (c->peer.who.uid != 0) {
            size_t mine = size_t(
                std::count_if(l->connections.begin(), l->connections.end(), [&](const auto& other) {
                    return other->peer.who.uid == c->peer.who.uid;
                }));
            size_t users =
                size_t(std::count_if(l->connections.begin(), l->connections.end(),
                                     [](const auto& other) { return other->peer.who.uid != 0; }));
            if (mine >= size_t(bridge_control_user_connections()) ||
                users >= size_t(bridge_control_max_connections)) {
                ::close(fd);
                continue;
            }
        }
        try {
            c->thread = std::thread(serve_connection, l, c);
        } catch (const std::system_error&) {
            // Out of threads: this peer is turned away, the service goes on.
            ::close(fd);
            continue;
        }
        l->connections.push_back(c);
    }
}

std::string control_folder()
{
    return host_runtime_folder() + "/" + control_wire::socket_folder;
}

void make_folder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0755) == 0)
        ::chmod(path.c_str(), 0755);
}

// Publishes the link as R/GLOBAL??/NAME, a host symlink whose text is the NT target.
void publish_link(listener& l)
{
    std::string folder = host_runtime_folder() + "/GLOBAL??";
    make_folder(host_runtime_folder());
    make_folder(folder);
    l.link_path = folder + "/" + host_utf8(l.link_name);
    std::string temporary = l.link_path + ".new";
    ::unlink(temporary.c_str());
    if (::symlink(host_utf8(l.device_name).c_str(), temporary.c_str()) == 0 &&
        ::rename(temporary.c_str(), l.link_path.c_str()) != 0)
        ::unlink(temporary.c_str());
}

std::shared_ptr<listener> open_listener(const std::u16string& name, const std::u16string& target)
{
    void* body = nullptr;
    std::u16string remaining;
    if (!NT_SUCCESS(ob_lookup_path(nullptr, target, &body, &remaining, false)))
        return nullptr;
    if (ob_kind(body) != object_kind::device || !remaining.empty()) {
        ob_dereference(body);
        return nullptr;
    }
    auto l = std::make_shared<listener>();
    l->link_name = name;
    l->device_name = ob_full_name(body);
    l->device = static_cast<PDEVICE_OBJECT>(body);
    make_folder(host_runtime_folder());
    make_folder(control_folder());
    l->socket_path = bridge_control_socket_path(l->device_name);

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || l->socket_path.size() >= sizeof(address.sun_path)) {
        if (fd >= 0)
            ::close(fd);
        std::fprintf(stderr, "control bridge: cannot serve %s\n", l->socket_path.c_str());
        ob_dereference(body);
        return nullptr;
    }
    std::memcpy(address.sun_path, l->socket_path.c_str(), l->socket_path.size() + 1);
    ::unlink(l->socket_path.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::chmod(l->socket_path.c_str(), 0666) != 0 || ::listen(fd, 64) != 0) {
        std::fprintf(stderr, "control bridge: cannot listen on %s: %s\n", l->socket_path.c_str(),
                     std::strerror(errno));
        ::close(fd);
        ob_dereference(body);
        return nullptr;
    }
    l->fd = fd;
    publish_link(*l);
    l->accept_thread = std::thread(accept_loop, l);
    return l;
}

// Stops taking connections; those still open go on until their peers leave or the bridge stops.
void stop_accepting(listener& l)
{
    if (l.fd < 0)
        return;
    ::shutdown(l.fd, SHUT_RDWR);
    if (l.accept_thread.joinable())
        l.accept_thread.join();
    ::close(l.fd);
    l.fd = -1;
    ::unlink(l.socket_path.c_str());
    ::unlink(l.link_path.c_str());
}

void close_listener(listener& l)
{
    stop_accepting(l);
    reap(l, true);
    ObDereferenceObject(l.device);
}

void on_link(void*, bool added, const std::u16string& name, const std::u16string& target)
{
    if (is_drive_name(name))
        return;
    bridge_state& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.started)
        return;
    // Closing the connections here could wait on the driver that is deleting its link.
    std::u16string key = ob_upcase(name);
    for (auto it = s.listeners.begin(); it != s.listeners.end(); ++it) {
        if (ob_upcase((*it)->link_name) == key) {
            stop_accepting(**it);
            s.retired.push_back(*it);
            s.listeners.erase(it);
            break;
        }
    }
    if (added) {
        if (auto l = open_listener(name, target))
            s.listeners.push_back(l);
    }
}

} // namespace

std::string bridge_control_socket_path(const std::u16string& device_name)
{
    return control_folder() + "/" + control_wire::socket_name(host_utf8(device_name));
}

namespace {
std::atomic<int> user_connections{bridge_control_default_user_connections};
} // namespace

int bridge_control_user_connections()
{
    return user_connections;
}

void bridge_control_set_user_connections(int cap)
{
    user_connections = std::max(1, cap);
}

NTSTATUS bridge_control_start()
{
    install_wake_signal();
    bridge_state& s = state();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.started)
            return STATUS_SUCCESS;
        s.started = true;
        s.watcher_id = ob_add_link_watcher(on_link, nullptr);
    }
    std::vector<directory_entry> entries;
    if (NT_SUCCESS(ob_list_directory(u"\\GLOBAL??", &entries))) {
        for (const directory_entry& e : entries) {
            if (e.kind != object_kind::symbolic_link || is_drive_name(e.name))
                continue;
            void* link = nullptr;
            std::u16string rest;
            if (NT_SUCCESS(ob_lookup_path(nullptr, u"\\GLOBAL??\\" + e.name, &link, &rest, true))) {
                std::u16string target = ob_link_target(link);
                ob_dereference(link);
                on_link(nullptr, true, e.name, target);
            }
        }
    }
    return STATUS_SUCCESS;
}

void bridge_control_stop()
{
    bridge_state& s = state();
    std::list<std::shared_ptr<listener>> listeners;
    int watcher = -1;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.started)
            return;
        s.started = false;
        watcher = s.watcher_id;
        listeners.swap(s.listeners);
        listeners.splice(listeners.end(), s.retired);
    }
    ob_remove_link_watcher(watcher);
    for (auto& l : listeners)
        close_listener(*l);
}

} // namespace ntos::detail
