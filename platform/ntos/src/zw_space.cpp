// Host space for the containers behind the volumes: whether their host disks can still take what
// a write cache in front of them holds, and space held in their own holes for that moment.
//
// A container is sparse: a write into one of its holes needs new blocks of the host disk, and a
// write cache in front of the volume (the disk bridge's) tells the file system a write is done
// long before it reaches the container. Space is held by allocating some of the container's holes
// (reading as zeros, as before); a write that finds the host disk full punches them out again
// and is tried once more, so what the cache took still lands while the bridge stops taking more.
// Held blocks that get written are data from then on and are never punched.
#include "zw_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/falloc.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace ntos::detail {

namespace {

struct space_watch {
    std::mutex lock;
    std::set<host_file*> files;
};

space_watch& watched()
{
    static space_watch* w = new space_watch; // host files may close while the process exits
    return *w;
}

uint64_t held_bytes(const host_file* host)
{
    uint64_t bytes = 0;
    for (const auto& [begin, end] : host->reserve)
        bytes += end - begin;
    return bytes;
}

// Allocates holes of the file until `target` bytes are held. Only its last stretch is looked at:
// a file system fills its disk from the front, and held blocks in the way of its writes would
// slow them (they are not holes, so they are written as they come) and be used up at once.
// Call with reserve_lock held.
void hold_space(host_file* host, uint64_t size, uint64_t target)
{
    const uint64_t block = host->host_block ? host->host_block : 4096;
    uint64_t held = held_bytes(host);
    for (uint64_t at = size > 4 * target ? size - 4 * target : 0; held < target && at < size;) {
        const off_t hole = ::lseek(host->fd, off_t(at), SEEK_HOLE);
        if (hole < 0 || uint64_t(hole) >= size)
            return;
        const off_t data = ::lseek(host->fd, hole, SEEK_DATA);
        const uint64_t hole_end = data < 0 ? size : uint64_t(data);
        const uint64_t begin = (uint64_t(hole) + block - 1) / block * block;
        const uint64_t end = std::min(hole_end / block * block, begin + (target - held));
        if (end > begin) {
            if (host->reserve_fd < 0)
                host->reserve_fd = ::fcntl(host->fd, F_DUPFD_CLOEXEC, 0);
            if (host->reserve_fd < 0 ||
                ::fallocate(host->fd, 0, off_t(begin), off_t(end - begin)) != 0)
                return; // the host disk has no room for it, or cannot allocate
            host->reserve.emplace_back(begin, end);
            held += end - begin;
        }
        at = hole_end;
    }
}

// Punches the held blocks out of the file (they read as zeros either way). Call with
// reserve_lock held.
uint64_t give_back(int fd, std::vector<std::pair<uint64_t, uint64_t>>& reserve)
{
    uint64_t freed = 0;
    for (const auto& [begin, end] : reserve)
        if (::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(begin),
                        off_t(end - begin)) == 0)
            freed += end - begin;
    reserve.clear();
    return freed;
}

} // namespace

// A closed container keeps no held space: the next open would hold more of its holes again.
host_file::~host_file()
{
    if (space_watched) {
        std::lock_guard<std::mutex> guard(watched().lock);
        watched().files.erase(this);
    }
    if (reserve_fd >= 0) {
        give_back(reserve_fd, reserve);
        ::close(reserve_fd);
    }
}

void zw_space_watch(host_file* host)
{
    if (host->space_watched.load(std::memory_order_relaxed) || !host->write || !host->unbuffered)
        return;
    std::lock_guard<std::mutex> guard(watched().lock);
    if (!host->space_watched.exchange(true))
        watched().files.insert(host);
}

void zw_space_written(host_file* host, uint64_t offset, uint64_t length)
{
    if (!host->space_watched.load(std::memory_order_relaxed))
        return;
    const uint64_t block = host->host_block ? host->host_block : 4096;
    const uint64_t begin = offset / block * block;
    const uint64_t end = (offset + length + block - 1) / block * block;
    std::lock_guard<std::mutex> guard(host->reserve_lock);
    if (std::none_of(host->reserve.begin(), host->reserve.end(),
                     [&](const auto& r) { return r.second > begin && r.first < end; }))
        return;
    std::vector<std::pair<uint64_t, uint64_t>> left;
    for (const auto& [b, e] : host->reserve) {
        if (e <= begin || b >= end) {
            left.emplace_back(b, e);
            continue;
        }
        if (b < begin)
            left.emplace_back(b, begin);
        if (e > end)
            left.emplace_back(end, e);
    }
    host->reserve.swap(left);
}

bool zw_space_give_back(host_file* host)
{
    std::lock_guard<std::mutex> guard(host->reserve_lock);
    if (host->reserve.empty())
        return false;
    const uint64_t freed = give_back(host->fd, host->reserve);
    host->reserve_spent = true;
    std::fprintf(stderr,
                 "lockbin: %s: the host disk is full; %llu MiB held for writes already taken were "
                 "given back\n",
                 host->path.c_str(), static_cast<unsigned long long>(freed >> 20));
    return freed > 0;
}

bool zw_space_short(uint64_t margin)
{
    struct host_fs {
        uint64_t growth = 0;
        uint64_t free = UINT64_MAX;
        bool spent = false;
    };
    std::map<dev_t, host_fs> file_systems;
    std::lock_guard<std::mutex> guard(watched().lock);
    for (host_file* host : watched().files) {
        struct stat st;
        struct statvfs vfs;
        if (::fstat(host->fd, &st) != 0 || ::fstatvfs(host->fd, &vfs) != 0)
            continue;
        const uint64_t allocated = uint64_t(st.st_blocks) * 512;
        const uint64_t free = uint64_t(vfs.f_bavail) * vfs.f_frsize;
        host_fs& fs = file_systems[st.st_dev];
        std::lock_guard<std::mutex> held(host->reserve_lock);
        const uint64_t holes =
            uint64_t(st.st_size) > allocated ? uint64_t(st.st_size) - allocated : 0;
        fs.growth += holes;
        fs.free = std::min(fs.free, free);
        // Held again only once the host has room for it and for the margin besides.
        if (holes > 0 && held_bytes(host) < margin / 2 && free >= 2 * margin) {
            hold_space(host, uint64_t(st.st_size), margin);
            host->reserve_spent = host->reserve_spent && held_bytes(host) < margin / 2;
        }
        fs.spent = fs.spent || host->reserve_spent;
    }
    for (const auto& [device, fs] : file_systems)
        if (fs.spent || (fs.growth > 0 && fs.free < std::min(fs.growth, margin)))
            return true;
    return false;
}

} // namespace ntos::detail
