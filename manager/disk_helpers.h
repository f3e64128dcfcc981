// Small stateless helpers over paths, folders and volumes. Paths are DOS paths; each helper
// reports only through its result.
#pragma once

#include "windows.h"

#include <string>
#include <vector>

// True if the path names an existing entry that is not a folder. The path goes to a file search
// unchanged, so wildcards in it match (and the first match decides).
bool FileExists(const std::u16string& path);

// True if the path names an existing folder, or is a drive designator ("X:", with or without
// trailing backslashes) of a present drive, even one without a medium.
bool DirectoryExists(const std::u16string& path);

// Bit ((upper-cased letter - 'A') mod 32) of GetLogicalDrives.
bool IsDriveLetterPresent(WCHAR letter);

// Creates every missing folder of the path, below its first component (the drive designator, or
// a UNC path's server), which is never created. True if the folder exists at the end.
bool CreateDirectoryTree(const std::u16string& path);

// The path ending in exactly one more backslash if it had none ("" becomes "\").
std::u16string WithTrailingBackslash(const std::u16string& path);
// The path without its trailing backslashes (a path of backslashes only becomes "").
std::u16string WithoutTrailingBackslash(const std::u16string& path);

// The file-system name of the volume at "X:\" compared without regard to case: "NTFS"; "FAT" or
// "FAT32" (exFAT is neither). False when the volume cannot be queried.
bool IsNtfsVolume(WCHAR letter);
bool IsFatVolume(WCHAR letter);

// The drive for the default vault folder: the fixed disk with the most free bytes other than the
// Windows disk, an NTFS one if any has free space, else any other; else the Windows disk.
WCHAR ChooseDefaultDisk();

namespace detail {

// What ChooseDefaultDisk learns of one drive root, in the order the system lists them.
struct DiskFacts {
    WCHAR letter;
    bool fixed;            // DRIVE_FIXED
    bool free_space_known; // GetDiskFreeSpaceExW succeeded
    ULONGLONG free_bytes;  // total free bytes of the volume
    bool ntfs;
};

// The choice itself, over the facts gathered.
WCHAR choose_default_disk(WCHAR system_letter, const std::vector<DiskFacts>& disks);

} // namespace detail
