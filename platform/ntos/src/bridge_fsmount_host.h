// Host helpers of the file-system mounting bridge: child processes, the mount table, FUSE
// connections and the processes that hold files under a mount.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace ntos::detail {

// Starts argv[0] (looked up in PATH) with standard input from /dev/null and no descriptors but
// the standard ones. owner_start starts it as the owner would start a setuid-root program: real
// uid and gid (and the only group) the owner's, effective and saved uid root, so that a program
// made for that (ntfs-3g) mounts nosuid,nodev for that user and then runs as the user.
// Returns the child's pid, or -1.
pid_t host_spawn(const std::vector<std::string>& argv, bool owner_start, uid_t uid, gid_t gid);
// Waits for the child to end, at most patience_ms, then kills it and waits for it.
void host_reap(pid_t child, int patience_ms);
bool host_have_program(const char* name);

// Waits until something is mounted at mount_point (true), or the child ended or 20 s went by
// (false).
bool host_wait_mounted(const std::string& mount_point, pid_t child);
bool host_is_mount_point(const std::string& mount_point);
// umount2 of the mount point (MNT_DETACH with detach); false when it failed (EBUSY...).
bool host_unmount(const std::string& mount_point, bool detach);
// A mount point left over from an earlier run (its file system process gone) is detached.
void host_detach_stale_mount(const std::string& mount_point);
// Writes 1 to the abort file of the FUSE connection mounted at mount_point, mounting the fusectl
// file system first when /sys/fs/fuse/connections is empty. False when there is no connection.
bool host_abort_fuse(const std::string& mount_point);

// A process that holds a file, a working or root directory, or a mapping under a folder.
struct host_holder {
    pid_t pid = 0;
    std::string name;
};
std::vector<host_holder> host_holders(const std::string& folder);

} // namespace ntos::detail
