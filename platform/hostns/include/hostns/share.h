// Windows share modes between open files, for both layers and across processes.
//
// Each open handle records what it may do (read, write, delete) and what it lets others do, as
// open-file-description locks (F_OFD_SETLK, read locks) on six bytes far past any file's data:
//   base + 0..2   the handle has read / write / delete access
//   base + 3..5   the handle denies read / write / delete to others (its share mode lacks it)
// A new open conflicts when it asks for an access that another handle denies, or denies an access
// that another handle has. The locks are advisory and do not touch the file's data; they go away
// with the file description, so a crashed process leaves nothing behind.
#pragma once

namespace hostns {

// Same bits as FILE_SHARE_READ / FILE_SHARE_WRITE / FILE_SHARE_DELETE.
inline constexpr unsigned share_read = 1, share_write = 2, share_delete = 4;
inline constexpr unsigned access_read = 1, access_write = 2, access_delete = 4;

// True if another open description of the file behind `fd` stands against an open with
// `access` and `share`. `fd` need not be open for reading.
bool share_conflicts(int fd, unsigned access, unsigned share);

// Checks like share_conflicts and then records the open's own access and share on `lock_fd`,
// which must be open for reading and stay open as long as the handle (closing it ends the
// record). Returns 0, EBUSY on a conflict, or the errno of a failed lock.
int share_acquire(int lock_fd, unsigned access, unsigned share);

} // namespace hostns
