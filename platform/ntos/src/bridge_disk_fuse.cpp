// The disk bridge's FUSE file system: one flat folder of block files, served with the
// low-level interface on a multi-threaded loop.
#define FUSE_USE_VERSION 312
#include <fuse_lowlevel.h>

#include "bridge_disk_internal.h"

#include "host_internal.h"
#include "zw_internal.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace ntos::detail {

namespace {

// An inode's attributes never change; a name may lead to a new inode at any time (a volume goes
// and another arrives under the same name), so names are looked up afresh every time.
constexpr double attr_timeout = 1.0;
constexpr double entry_timeout = 0.0;

// One open host handle. The service's own file-system processes write through the kernel's
// write cache (cached_writer): without it their many small writes each wait for the container
// and run at a tenth of the speed or less. Every other writer goes past the cache (direct), as
// to a disk, so a write that does not fit is refused at the call.
struct open_handle {
    disk_entry_ptr entry;
    bool cached_writer = false;
    bool direct = false;
    std::atomic<bool> wrote{false};
    std::atomic<bool> wrote_first_sector{false};
};

struct fuse_bridge {
    std::mutex lock;
    fuse_session* session = nullptr;
    std::thread loop;
    std::string folder;
    dev_t device = 0;
    bool loop_done = false;
    std::condition_variable loop_ended;
    // Handles the host has not released; a stop frees those it will never release now.
    std::set<open_handle*> handles;
};

// Never destroyed: the loop's threads may still run while the process exits.
fuse_bridge& bridge()
{
    static fuse_bridge* b = new fuse_bridge;
    return *b;
}

// The running session, for notifications from the loop's threads.
std::atomic<fuse_session*> live_session{nullptr};

// How much the kernel may hold dirty for the block files (their bdi's limit, read at start),
// and what may be on the way besides: page-cache pages under write-back and the writers'
// overshoot of the limit.
std::atomic<uint64_t> dirty_limit{64ull << 20};
constexpr uint64_t dirty_slack = 16ull << 20;

// Whether the host disks of the containers are too full for the write cache: what it may hold
// could no longer reach them. Looked at again at most every 100 ms unless `now`; a change is
// logged.
bool space_short(bool now = false)
{
    static std::mutex lock;
    static std::chrono::steady_clock::time_point checked;
    static bool is_short = false;
    std::lock_guard<std::mutex> guard(lock);
    const auto at = std::chrono::steady_clock::now();
    if (!now && at - checked < std::chrono::milliseconds(100))
        return is_short;
    checked = at;
    const uint64_t margin = dirty_limit.load() + dirty_slack;
    const bool was = is_short;
    is_short = zw_space_short(margin);
    if (is_short && !was)
        std::fprintf(stderr,
                     "lockbin: disk bridge: the host disk of a vault has less than %llu MiB free "
                     "for its container to grow: writes inside vaults on it fail with \"No space "
                     "left on device\" until space is freed\n",
                     static_cast<unsigned long long>(margin >> 20));
    else if (!is_short && was)
        std::fprintf(stderr, "lockbin: disk bridge: host disk space is back: vault writes are "
                             "accepted again\n");
    return is_short;
}

// The opener is a process the service started itself (its file-system processes are children
// of the service).
bool opened_by_own_child(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (pid <= 0 || !std::getline(stat, line))
        return false;
    // "pid (name) state ppid ...": the name may hold spaces and parentheses.
    size_t end = line.rfind(')');
    if (end == std::string::npos)
        return false;
    char state = 0;
    long parent = 0;
    return std::sscanf(line.c_str() + end + 1, " %c %ld", &state, &parent) == 2 &&
           parent == long(::getpid());
}

void forget_handle(open_handle* handle)
{
    {
        std::lock_guard<std::mutex> guard(bridge().lock);
        bridge().handles.erase(handle);
    }
    delete handle;
}

open_handle* handle_of(fuse_file_info* fi)
{
    return reinterpret_cast<open_handle*>(static_cast<uintptr_t>(fi->fh));
}

void fill_root(struct stat* st)
{
    std::memset(st, 0, sizeof(*st));
    st->st_ino = FUSE_ROOT_ID;
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
}

void fill_file(const disk_entry& entry, uint64_t size, struct stat* st)
{
    std::memset(st, 0, sizeof(*st));
    st->st_ino = entry.ino;
    st->st_mode = S_IFREG | (entry.read_only ? 0400 : 0600);
    st->st_nlink = 1;
    st->st_uid = entry.uid;
    st->st_gid = entry.gid;
    st->st_size = static_cast<off_t>(size);
    st->st_blksize = bridge_disk_sector;
    st->st_blocks = static_cast<blkcnt_t>(size / 512);
}

// The entry's size when it is listed and answers; else an errno.
int entry_size(disk_entry& entry, uint64_t* size)
{
    if (!disk_entry_ready(entry))
        return ENOENT;
    std::shared_lock<std::shared_mutex> shared(entry.io_lock);
    if (entry.gone)
        return ENOENT;
    int err = 0;
    block_file* block = disk_entry_block(entry, &err);
    if (!block)
        return err;
    *size = block->size();
    return 0;
}

void op_init(void*, fuse_conn_info* conn)
{
    // libfuse takes the request size from here, not from the mount options.
    conn->max_write = bridge_disk_max_transfer;
    conn->max_readahead = bridge_disk_max_transfer;
    // The page cache merges the file systems' small, unaligned writes into whole pages before
    // they reach the worker; fsync and release still push every dirty page through here.
    if (conn->capable & FUSE_CAP_WRITEBACK_CACHE)
        conn->want |= FUSE_CAP_WRITEBACK_CACHE;
    // A block file's attributes never change, so reads need not ask for them: only writes
    // through the cache do, which is where a full host disk refuses them (op_getattr).
    conn->want &= ~FUSE_CAP_AUTO_INVAL_DATA;
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name)
{
    if (parent == FUSE_ROOT_ID)
        disk_table_refresh();
    disk_entry_ptr entry = parent == FUSE_ROOT_ID ? disk_table_find_name(name) : nullptr;
    if (!entry) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    uint64_t size = 0;
    if (int err = entry_size(*entry, &size)) {
        fuse_reply_err(req, err);
        return;
    }
    fuse_entry_param e{};
    e.ino = entry->ino;
    e.generation = 1;
    e.attr_timeout = attr_timeout;
    e.entry_timeout = entry_timeout;
    fill_file(*entry, size, &e.attr);
    fuse_reply_entry(req, &e);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*)
{
    struct stat st;
    if (ino == FUSE_ROOT_ID) {
        fill_root(&st);
        fuse_reply_attr(req, &st, attr_timeout);
        return;
    }
    disk_entry_ptr entry = disk_table_find_ino(ino);
    uint64_t size = 0;
    int err = entry ? entry_size(*entry, &size) : ENOENT;
    // A cached writer asks for the attributes before the kernel takes each write into its cache
    // (once they have expired or been dropped): refused here, the write fails at the call.
    if (!err && entry->cached_writers > 0) {
        if (entry->write_back_failed)
            err = EIO;
        else if (space_short())
            err = ENOSPC;
    }
    if (err) {
        fuse_reply_err(req, err);
        return;
    }
    fill_file(*entry, size, &st);
    fuse_reply_attr(req, &st, attr_timeout);
}

// A block file keeps its size, owner and mode; only the times may be "set" (touch), and are
// not kept.
void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, fuse_file_info* fi)
{
    disk_entry_ptr entry = disk_table_find_ino(ino);
    uint64_t size = 0;
    int err = entry ? entry_size(*entry, &size) : ENOENT;
    if (!err && (to_set & FUSE_SET_ATTR_SIZE) && static_cast<uint64_t>(attr->st_size) != size)
        err = EPERM;
    if (!err && (to_set & (FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)))
        err = EPERM;
    if (err) {
        fuse_reply_err(req, err);
        return;
    }
    struct stat st;
    fill_file(*entry, size, &st);
    fuse_reply_attr(req, &st, attr_timeout);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info*)
{
    if (ino != FUSE_ROOT_ID) {
        fuse_reply_err(req, ENOTDIR);
        return;
    }
    struct listed {
        std::string name;
        struct stat st;
    };
    if (off == 0)
        disk_table_refresh();
    std::vector<listed> all;
    struct stat st;
    fill_root(&st);
    all.push_back({".", st});
    all.push_back({"..", st});
    for (const disk_entry_ptr& entry : disk_table_snapshot()) {
        if (!disk_entry_ready(*entry))
            continue;
        std::memset(&st, 0, sizeof(st));
        st.st_ino = entry->ino;
        st.st_mode = S_IFREG;
        all.push_back({entry->name, st});
    }
    std::vector<char> reply(size);
    size_t used = 0;
    for (size_t i = static_cast<size_t>(off); i < all.size(); ++i) {
        size_t need = fuse_add_direntry(req, reply.data() + used, size - used, all[i].name.c_str(),
                                        &all[i].st, static_cast<off_t>(i + 1));
        if (need > size - used)
            break;
        used += need;
    }
    fuse_reply_buf(req, reply.data(), used);
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi)
{
    disk_entry_ptr entry = disk_table_find_ino(ino);
    uint64_t size = 0;
    int err = entry ? entry_size(*entry, &size) : ENOENT;
    if (!err && entry->read_only && (fi->flags & O_ACCMODE) != O_RDONLY)
        err = EROFS;
    if (err) {
        fuse_reply_err(req, err);
        return;
    }
    const bool writable = (fi->flags & O_ACCMODE) != O_RDONLY;
    auto* handle = new open_handle;
    if (writable && opened_by_own_child(fuse_req_ctx(req)->pid) && !entry->write_back_failed &&
        !space_short(true)) {
        handle->cached_writer = true;
        entry->cached_writers++;
    } else if (writable) {
        handle->direct = true;
        fi->direct_io = 1;
    }
    handle->entry = std::move(entry);
    {
        std::lock_guard<std::mutex> guard(bridge().lock);
        bridge().handles.insert(handle);
    }
    fi->fh = reinterpret_cast<uintptr_t>(handle);
    // Every change of the device passes through this file system, so cached pages stay valid
    // for as long as the inode (a new arrival gets a new one); a direct writer drops them when
    // it closes.
    fi->keep_cache = 1;
    if (fuse_reply_open(req, fi) != 0) {
        if (handle->cached_writer)
            handle->entry->cached_writers--;
        forget_handle(handle);
    }
}

uint8_t* read_buffer(size_t size)
{
    thread_local std::vector<uint8_t> buffer;
    if (buffer.size() < size)
        buffer.resize(size);
    return buffer.data();
}

void op_read(fuse_req_t req, fuse_ino_t, size_t size, off_t off, fuse_file_info* fi)
{
    disk_entry& entry = *handle_of(fi)->entry;
    std::shared_lock<std::shared_mutex> shared(entry.io_lock);
    int err = ENXIO;
    block_file* block = disk_entry_usable(entry) ? disk_entry_block(entry, &err) : nullptr;
    if (!block) {
        fuse_reply_err(req, err);
        return;
    }
    uint8_t* buffer = read_buffer(size);
    ssize_t done = block->read(buffer, size, static_cast<uint64_t>(off));
    if (done < 0) {
        fuse_reply_err(req, static_cast<int>(-done));
        return;
    }
    fuse_reply_buf(req, reinterpret_cast<const char*>(buffer), static_cast<size_t>(done));
    // While the host takes this answer, the device already reads what a sequential reader asks
    // for next.
    block->read_ahead();
}

// A cached writer's write-back failed: the writer was told long ago that the write succeeded.
// Its later writes are refused (at the attribute check before each) so no more is lost.
void write_back_failed(disk_entry& entry, fuse_ino_t ino, size_t size, off_t off, int err)
{
    if (!entry.write_back_failed.exchange(true))
        std::fprintf(stderr,
                     "lockbin: disk bridge: %s: writing back %zu bytes at %lld failed (%s): data "
                     "the file system on it had written is lost; its writes are refused until it "
                     "is mounted again\n",
                     entry.name.c_str(), size, static_cast<long long>(off), std::strerror(err));
    if (fuse_session* session = live_session.load())
        fuse_lowlevel_notify_inval_inode(session, ino, -1, 0);
}

void op_write(fuse_req_t req, fuse_ino_t ino, const char* data, size_t size, off_t off,
              fuse_file_info* fi)
{
    open_handle* handle = handle_of(fi);
    disk_entry& entry = *handle->entry;
    std::shared_lock<std::shared_mutex> shared(entry.io_lock);
    int err = ENXIO;
    block_file* block = disk_entry_usable(entry) ? disk_entry_block(entry, &err) : nullptr;
    if (!block) {
        fuse_reply_err(req, err);
        return;
    }
    ssize_t done =
        block->write(reinterpret_cast<const uint8_t*>(data), size, static_cast<uint64_t>(off));
    if (done < 0) {
        fuse_reply_err(req, static_cast<int>(-done));
        if (handle->cached_writer)
            write_back_failed(entry, ino, size, off, static_cast<int>(-done));
        return;
    }
    if (done > 0 && off < static_cast<off_t>(bridge_disk_sector))
        handle->wrote_first_sector = true;
    if (done > 0)
        handle->wrote = true;
    fuse_reply_write(req, static_cast<size_t>(done));
    // The host disk is filling: the attributes are dropped so that the writer's next write
    // asks for them, and is refused, before the cache takes it.
    if (handle->cached_writer && space_short())
        if (fuse_session* session = live_session.load())
            fuse_lowlevel_notify_inval_inode(session, ino, -1, 0);
}

void op_flush(fuse_req_t req, fuse_ino_t, fuse_file_info*)
{
    fuse_reply_err(req, 0);
}

void op_fsync(fuse_req_t req, fuse_ino_t, int, fuse_file_info* fi)
{
    disk_entry& entry = *handle_of(fi)->entry;
    std::shared_lock<std::shared_mutex> shared(entry.io_lock);
    fuse_reply_err(req, disk_entry_usable(entry) ? disk_entry_flush(entry) : ENXIO);
}

void op_release(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi)
{
    open_handle* handle = handle_of(fi);
    fuse_reply_err(req, 0);
    if (handle->cached_writer)
        handle->entry->cached_writers--;
    // Pages other handles cached may predate what this one wrote past the cache.
    if (handle->direct && handle->wrote)
        if (fuse_session* session = live_session.load())
            fuse_lowlevel_notify_inval_inode(session, ino, 0, 0);
    if (handle->wrote_first_sector) {
        std::shared_lock<std::shared_mutex> shared(handle->entry->io_lock);
        if (!handle->entry->gone)
            disk_table_first_sector_written(*handle->entry);
    }
    forget_handle(handle);
}

fuse_lowlevel_ops make_disk_ops()
{
    fuse_lowlevel_ops ops{};
    ops.init = op_init;
    ops.lookup = op_lookup;
    ops.getattr = op_getattr;
    ops.setattr = op_setattr;
    ops.open = op_open;
    ops.read = op_read;
    ops.write = op_write;
    ops.flush = op_flush;
    ops.release = op_release;
    ops.fsync = op_fsync;
    ops.readdir = op_readdir;
    return ops;
}

const fuse_lowlevel_ops disk_ops = make_disk_ops();

bool make_folders(const std::string& path)
{
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/')
            continue;
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

// Best effort: a kernel setting the service may not be allowed to change.
void write_setting(const char* path, const std::string& value)
{
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ssize_t ignored = ::write(fd, value.data(), value.size());
    (void)ignored;
    ::close(fd);
}

// Ends the connection even while host handles are open, so the loop's threads return.
void abort_connection(dev_t device)
{
    char path[96];
    std::snprintf(path, sizeof(path), "/sys/fs/fuse/connections/%u/abort", minor(device));
    write_setting(path, "1");
}

// The kernel caps a FUSE file system's read-ahead at 128 KiB whatever the INIT reply asks for,
// so a sequential reader of a block file reaches the device in 128 KiB requests, each a round
// trip through the volume's worker. Raised to one whole transfer through the connection's bdi
// before any block file is opened (an open file keeps the window it was opened with); without
// the right to, reads keep the small window.
void widen_read_ahead(dev_t device)
{
    char path[96];
    std::snprintf(path, sizeof(path), "/sys/class/bdi/%u:%u/read_ahead_kb", major(device),
                  minor(device));
    write_setting(path, std::to_string(bridge_disk_max_transfer / 1024));
}

// The kernel bounds what it holds dirty for a FUSE file system (strictly, by its bdi's share of
// the dirty limit); where this kernel tells the bound in bytes, the space check uses it.
void read_dirty_limit(dev_t device)
{
    char path[96];
    std::snprintf(path, sizeof(path), "/sys/class/bdi/%u:%u/max_bytes", major(device),
                  minor(device));
    std::ifstream in(path);
    unsigned long long bytes = 0;
    if (in >> bytes && bytes > 0)
        dirty_limit = bytes;
}

} // namespace

NTSTATUS bridge_disk_start(const std::string& folder)
{
    fuse_bridge& b = bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    if (b.session)
        return STATUS_OBJECT_NAME_COLLISION;
    std::string where = folder.empty() ? host_runtime_folder() + "/disks" : folder;
    struct stat st;
    if (stat(where.c_str(), &st) != 0 && errno == ENOTCONN)
        umount2(where.c_str(), MNT_DETACH); // left behind by a service that died
    if (!make_folders(where))
        return STATUS_ACCESS_DENIED;

    // Owner-only files must be reachable by their owners: allow_other lets the kernel check
    // each file's mode instead of refusing everyone but the service.
    const char* with_others[] = {"lockbin-disks", "-o",
                                 "allow_other,default_permissions,fsname=lockbin-disks"};
    const char* alone[] = {"lockbin-disks", "-o", "default_permissions,fsname=lockbin-disks"};
    fuse_session* session = nullptr;
    for (auto* argv : {with_others, alone}) {
        fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
        session = fuse_session_new(&args, &disk_ops, sizeof(disk_ops), nullptr);
        fuse_opt_free_args(&args); // the session keeps copies of what it parsed
        if (session && fuse_session_mount(session, where.c_str()) == 0)
            break;
        if (session)
            fuse_session_destroy(session);
        session = nullptr;
        if (getuid() == 0)
            break; // root may always allow others: the mount itself failed
    }
    if (!session)
        return STATUS_ACCESS_DENIED;
    b.session = session;
    b.folder = where;
    b.loop_done = false;
    b.loop = std::thread([session] {
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_loop_cfg_set_max_threads(config, 16);
        fuse_loop_cfg_set_idle_threads(config, 4);
        fuse_session_loop_mt(session, config);
        fuse_loop_cfg_destroy(config);
        fuse_bridge& bb = bridge();
        std::lock_guard<std::mutex> done(bb.lock);
        bb.loop_done = true;
        bb.loop_ended.notify_all();
    });
    // Only now: the kernel answers nothing on the mount until the loop has taken its INIT.
    b.device = stat(where.c_str(), &st) == 0 ? st.st_dev : 0;
    if (b.device) {
        widen_read_ahead(b.device);
        read_dirty_limit(b.device);
    }
    live_session = session;
    return STATUS_SUCCESS;
}

void bridge_disk_stop()
{
    fuse_bridge& b = bridge();
    std::unique_lock<std::mutex> guard(b.lock);
    if (!b.session)
        return;
    fuse_session* session = b.session;
    live_session = nullptr;
    fuse_session_exit(session);
    // Unmounted first: libfuse leaves the mount in place once it sees the connection aborted.
    fuse_session_unmount(session);
    abort_connection(b.device);
    if (!b.loop_ended.wait_for(guard, std::chrono::seconds(10), [&b] { return b.loop_done; })) {
        // A loop thread is stuck in the driver; leave it the session rather than free it
        // under its feet.
        std::fprintf(stderr, "lockbin: disk bridge at %s did not stop\n", b.folder.c_str());
        b.loop.detach();
    } else {
        guard.unlock();
        b.loop.join();
        guard.lock();
        fuse_session_destroy(session);
        for (open_handle* handle : b.handles)
            delete handle;
        b.handles.clear();
    }
    b.session = nullptr;
    b.folder.clear();
}

std::string bridge_disk_folder()
{
    fuse_bridge& b = bridge();
    std::lock_guard<std::mutex> guard(b.lock);
    return b.folder;
}

std::string bridge_disk_file_path(PDEVICE_OBJECT device)
{
    std::string folder = bridge_disk_folder();
    if (folder.empty())
        return {};
    disk_table_refresh();
    for (const disk_entry_ptr& entry : disk_table_snapshot())
        if (entry->device == device)
            return folder + "/" + entry->name;
    return {};
}

} // namespace ntos::detail
