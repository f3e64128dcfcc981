#include "hostns/share.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

namespace hostns {

namespace {

constexpr off_t lock_base = off_t(0x7FFFFFFF00000000LL);
constexpr off_t has_access = lock_base;        // + 0, 1, 2
constexpr off_t denies_access = lock_base + 3; // + 0, 1, 2

struct flock byte_lock(short type, off_t at)
{
    struct flock l;
    std::memset(&l, 0, sizeof l);
    l.l_type = type;
    l.l_whence = SEEK_SET;
    l.l_start = at;
    l.l_len = 1;
    return l;
}

// True if another description holds a lock on the byte.
bool held_by_other(int fd, off_t at)
{
    struct flock l = byte_lock(F_WRLCK, at);
    if (fcntl(fd, F_OFD_GETLK, &l) != 0)
        return false;
    return l.l_type != F_UNLCK;
}

} // namespace

bool share_conflicts(int fd, unsigned access, unsigned share)
{
    for (unsigned bit = 0; bit < 3; ++bit) {
        unsigned mask = 1u << bit;
        if ((access & mask) && held_by_other(fd, denies_access + bit))
            return true;
        if (!(share & mask) && held_by_other(fd, has_access + bit))
            return true;
    }
    return false;
}

int share_acquire(int lock_fd, unsigned access, unsigned share)
{
    if (share_conflicts(lock_fd, access, share))
        return EBUSY;
    for (unsigned bit = 0; bit < 3; ++bit) {
        unsigned mask = 1u << bit;
        if (access & mask) {
            struct flock l = byte_lock(F_RDLCK, has_access + bit);
            if (fcntl(lock_fd, F_OFD_SETLK, &l) != 0)
                return errno;
        }
        if (!(share & mask)) {
            struct flock l = byte_lock(F_RDLCK, denies_access + bit);
            if (fcntl(lock_fd, F_OFD_SETLK, &l) != 0)
                return errno;
        }
    }
    return 0;
}

} // namespace hostns
