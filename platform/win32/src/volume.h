// What the host knows about the file system that holds a path.
#pragma once

#include "windef.h"

#include <string>

namespace win32::detail {

struct MountEntry {
    std::string mount_point; // empty when no mount holds the path
    std::string fs_type;     // as the host names it ("ext4", "fuseblk", "vfat")
    std::string source;      // the device or description the host mounted
};

// The mount that holds `host_path` (the last of those with the longest mount point).
MountEntry mount_of(const std::string& host_path);

// The file-system name Windows would show. `clusters` is the volume's cluster count (FAT's
// variant follows from it); `boot_sector` the volume's first bytes when they could be read, else
// empty (used to tell the file systems that share fuseblk apart).
std::u16string windows_fs_name(const std::string& fs_type, unsigned long long clusters,
                               const std::string& boot_sector);

// DRIVE_* of a mount entry, from the file-system type and /sys/block (`sys_block` empty: the
// layer's own view of it).
UINT drive_type_of(const MountEntry& mount, const std::string& sys_block = "");

} // namespace win32::detail
