#include "disk_helpers.h"

#include "common/text_compare.h"
#include "hostns/hostns.h"

namespace {

// The file-system name of "X:\", or false.
bool file_system_name(WCHAR letter, WCHAR (&name)[MAX_PATH])
{
    WCHAR root[] = u"X:\\";
    root[0] = letter;
    return GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH);
}

// Starts a search for the path; fills `found` with the first entry.
bool first_entry(const std::u16string& path, WIN32_FIND_DATAW& found)
{
    HANDLE h = FindFirstFileW(path.c_str(), &found);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    FindClose(h);
    return true;
}

} // namespace

bool FileExists(const std::u16string& path)
{
    WIN32_FIND_DATAW found;
    return first_entry(path, found) && !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DirectoryExists(const std::u16string& path)
{
    std::u16string p = WithoutTrailingBackslash(path);
    if (p.size() == 2 && p[1] == u':')
        return IsDriveLetterPresent(p[0]);
    WIN32_FIND_DATAW found;
    return first_entry(p, found) && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsDriveLetterPresent(WCHAR letter)
{
    // Unsigned, so a character below 'A' wraps into the mask's range instead of shifting by a
    // negative count.
    DWORD bit = DWORD(hostns::upcase(letter) - u'A') % 32;
    return (GetLogicalDrives() >> bit) & 1;
}

bool CreateDirectoryTree(const std::u16string& path)
{
    if (DirectoryExists(path))
        return true;
    bool unc = path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\';
    std::vector<std::u16string> pieces;
    size_t start = 0;
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != u'\\')
            continue;
        if (i > start)
            pieces.push_back(path.substr(start, i - start));
        start = i + 1;
    }
    if (pieces.empty())
        return DirectoryExists(path);
    std::u16string running = (unc ? u"\\\\" : u"") + pieces[0];
    for (size_t i = 1; i < pieces.size(); ++i) {
        running += u'\\';
        running += pieces[i];
        if (CreateDirectoryW(running.c_str(), nullptr))
            SetFileAttributesW(running.c_str(), FILE_ATTRIBUTE_NORMAL);
        else if (GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return DirectoryExists(path);
}

std::u16string WithTrailingBackslash(const std::u16string& path)
{
    if (!path.empty() && path.back() == u'\\')
        return path;
    return path + u'\\';
}

std::u16string WithoutTrailingBackslash(const std::u16string& path)
{
    size_t keep = path.find_last_not_of(u'\\');
    return keep == std::u16string::npos ? std::u16string() : path.substr(0, keep + 1);
}

bool IsNtfsVolume(WCHAR letter)
{
    WCHAR name[MAX_PATH];
    return file_system_name(letter, name) && EqualsNoCase(name, u"NTFS");
}

bool IsFatVolume(WCHAR letter)
{
    WCHAR name[MAX_PATH];
    return file_system_name(letter, name) &&
           (EqualsNoCase(name, u"FAT") || EqualsNoCase(name, u"FAT32"));
}

namespace detail {

WCHAR choose_default_disk(WCHAR system_letter, const std::vector<DiskFacts>& disks)
{
    WCHAR best_ntfs = 0, best_other = 0;
    ULONGLONG ntfs_free = 0, other_free = 0;
    for (const DiskFacts& d : disks) {
        if (hostns::upcase(d.letter) == hostns::upcase(system_letter) || !d.fixed ||
            !d.free_space_known)
            continue;
        // Strictly greater: of two equal disks the earlier stays, and an empty disk never wins.
        if (d.ntfs && d.free_bytes > ntfs_free) {
            best_ntfs = d.letter;
            ntfs_free = d.free_bytes;
        } else if (!d.ntfs && d.free_bytes > other_free) {
            best_other = d.letter;
            other_free = d.free_bytes;
        }
    }
    if (best_ntfs)
        return best_ntfs;
    if (best_other)
        return best_other;
    return system_letter;
}

} // namespace detail

WCHAR ChooseDefaultDisk()
{
    WCHAR windows[MAX_PATH];
    UINT n = GetWindowsDirectoryW(windows, MAX_PATH);
    WCHAR system_letter = n > 0 && n < MAX_PATH ? windows[0] : u'C';

    WCHAR roots[256];
    DWORD length = GetLogicalDriveStringsW(256, roots);
    std::vector<detail::DiskFacts> disks;
    if (length > 0 && length < 256) {
        for (const WCHAR* root = roots; *root;
             root += std::char_traits<char16_t>::length(root) + 1) {
            detail::DiskFacts d{root[0], false, false, 0, false};
            if (hostns::upcase(d.letter) != hostns::upcase(system_letter)) {
                d.fixed = GetDriveTypeW(root) == DRIVE_FIXED;
                ULARGE_INTEGER free_bytes;
                if (d.fixed && GetDiskFreeSpaceExW(root, nullptr, nullptr, &free_bytes)) {
                    d.free_space_known = true;
                    d.free_bytes = free_bytes.QuadPart;
                    d.ntfs = IsNtfsVolume(d.letter);
                }
            }
            disks.push_back(d);
        }
    }
    return detail::choose_default_disk(system_letter, disks);
}
