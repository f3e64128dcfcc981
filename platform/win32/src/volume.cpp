// Drive types, volume information and free space.
#include "volume.h"
#include "host_views_for_tests.h"
#include "paths.h"

#include "errhandlingapi.h"
#include "fileapi.h"
#include "winerror.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

using namespace win32::detail;

namespace win32::detail {

namespace {

// Where the host's block devices and mount table are read. Only tests move them, through
// host_views_for_tests.h, so that no user setting can make a disk look fixed or removable.
std::string g_sys_block = "/sys/class/block";
std::string g_mount_table = "/proc/self/mountinfo";

// mountinfo escapes blanks, tabs, newlines and backslashes as three octal digits.
std::string unescape_mount(const std::string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() + 1) {
            int v = 0;
            bool ok = true;
            for (int k = 1; k <= 3; ++k) {
                if (i + k >= text.size() || text[i + k] < '0' || text[i + k] > '7') {
                    ok = false;
                    break;
                }
                v = v * 8 + (text[i + k] - '0');
            }
            if (ok) {
                out += char(v);
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

bool under(const std::string& path, const std::string& mount)
{
    if (mount == "/")
        return true;
    return path.compare(0, mount.size(), mount) == 0 &&
           (path.size() == mount.size() || path[mount.size()] == '/');
}

std::string read_line(const std::string& path)
{
    std::ifstream in(path);
    std::string s;
    std::getline(in, s);
    return s;
}

bool has_prefix(const std::string& s, const char* prefix)
{
    return s.rfind(prefix, 0) == 0;
}

} // namespace

void set_host_views_for_tests(const std::string& sys_block, const std::string& mount_table)
{
    g_sys_block = sys_block.empty() ? "/sys/class/block" : sys_block;
    g_mount_table = mount_table.empty() ? "/proc/self/mountinfo" : mount_table;
}

MountEntry mount_of(const std::string& host_path)
{
    MountEntry best;
    char* real = realpath(host_path.c_str(), nullptr);
    std::string path = real ? real : host_path;
    free(real);
    std::ifstream in(g_mount_table);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, devno, root, mount_point;
        fields >> id >> parent >> devno >> root >> mount_point;
        std::string field;
        while (fields >> field && field != "-") {
        }
        MountEntry e;
        fields >> e.fs_type >> e.source;
        e.mount_point = unescape_mount(mount_point);
        e.source = unescape_mount(e.source);
        if (under(path, e.mount_point) && e.mount_point.size() >= best.mount_point.size())
            best = e;
    }
    return best;
}

std::u16string windows_fs_name(const std::string& fs_type, unsigned long long clusters,
                               const std::string& boot_sector)
{
    if (fs_type == "ntfs" || fs_type == "ntfs3")
        return u"NTFS";
    bool exfat_sector = boot_sector.size() >= 11 && boot_sector.compare(3, 8, "EXFAT   ") == 0;
    bool ntfs_sector = boot_sector.size() >= 11 && boot_sector.compare(3, 8, "NTFS    ") == 0;
    if (fs_type == "fuseblk" || fs_type == "fuse.ntfs-3g")
        // fuseblk is ntfs-3g's, unless the volume's boot sector names another file system.
        return exfat_sector ? u"exFAT" : u"NTFS";
    if (fs_type == "fuse" && (ntfs_sector || exfat_sector))
        // ntfs-3g over an image file mounts as plain fuse; its source is the image.
        return ntfs_sector ? u"NTFS" : u"exFAT";
    if (fs_type == "exfat" || fs_type == "fuse.exfat")
        return u"exFAT";
    // fusefat serves FAT images where the kernel has no vfat; its statfs counts clusters too.
    if (fs_type == "vfat" || fs_type == "msdos" || fs_type == "fat" || fs_type == "fuse.fusefat")
        // The FAT variant is fixed by the cluster count alone.
        return clusters >= 65525 ? u"FAT32" : u"FAT";
    return hostns::from_utf8(fs_type);
}

UINT drive_type_of(const MountEntry& mount, const std::string& sys_block_arg)
{
    const std::string& sys_block = sys_block_arg.empty() ? g_sys_block : sys_block_arg;
    static const char* const remote[] = {
        "nfs",         "nfs4",      "cifs",   "smb3",       "smbfs",         "ncpfs", "afs",
        "ceph",        "glusterfs", "9p",     "fuse.sshfs", "sshfs",         "davfs", "fuse.davfs2",
        "fuse.rclone", "fuse.s3fs", "lustre", "gpfs",       "fuse.glusterfs"};
    const std::string& t = mount.fs_type;
    for (const char* r : remote)
        if (t == r)
            return DRIVE_REMOTE;
    if (t == "iso9660" || t == "udf")
        return DRIVE_CDROM;
    if (t == "tmpfs" || t == "ramfs")
        return DRIVE_RAMDISK;
    if (has_prefix(mount.source, "/dev/")) {
        std::string name = mount.source.substr(5);
        if (name.find('/') == std::string::npos) {
            if (has_prefix(name, "sr"))
                return DRIVE_CDROM;
            // A partition's removable flag is its disk's.
            std::string dir = sys_block + "/" + name;
            char* real = realpath(dir.c_str(), nullptr);
            std::string disk = real ? real : dir;
            free(real);
            struct stat st;
            if (stat((disk + "/partition").c_str(), &st) == 0)
                disk = disk.substr(0, disk.rfind('/'));
            if (read_line(disk + "/removable") == "1")
                return DRIVE_REMOVABLE;
        }
    }
    return DRIVE_FIXED;
}

} // namespace win32::detail

namespace {

bool separator(char16_t c)
{
    return c == u'\\' || c == u'/';
}

// "X:\" or "\\?\X:\" (the separator optional when `need_separator` is false): the drive's name.
bool parse_root(LPCWSTR root, bool need_separator, std::u16string& drive)
{
    std::u16string_view r(root);
    if (r.size() >= 4 && separator(r[0]) && separator(r[1]) && r[2] == u'?' && separator(r[3]))
        r.remove_prefix(4);
    if (r.size() < 2 || r[1] != u':' || hostns::drive_name(r[0]).empty())
        return false;
    if (r.size() > 3 || (r.size() == 3 && !separator(r[2])) || (need_separator && r.size() != 3))
        return false;
    drive = hostns::drive_name(r[0]);
    return true;
}

std::u16string current_root()
{
    return u"C:\\";
}

} // namespace

UINT WINAPI GetDriveTypeW(LPCWSTR lpRootPathName)
{
    std::u16string root = lpRootPathName ? std::u16string(lpRootPathName) : current_root();
    std::u16string drive;
    if (!parse_root(root.c_str(), false, drive))
        return DRIVE_NO_ROOT_DIR;
    hostns::Namespace names = name_space();
    hostns::Resolution r = names.dos_to_host(drive + u"\\");
    if (r.status == hostns::Status::name_not_found)
        return DRIVE_NO_ROOT_DIR;
    // The service's volumes are disks or CD-ROMs whether or not a file system is mounted yet.
    auto target = names.query(drive);
    switch (target ? names.device_kind(*target) : hostns::DeviceKind::unknown) {
    case hostns::DeviceKind::disk:
        return DRIVE_FIXED;
    case hostns::DeviceKind::cdrom:
        return DRIVE_CDROM;
    case hostns::DeviceKind::unknown:
        break;
    }
    if (r.status != hostns::Status::ok)
        return r.status == hostns::Status::not_ready ? DRIVE_UNKNOWN : DRIVE_NO_ROOT_DIR;
    struct stat st;
    if (stat(r.host_path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return DRIVE_NO_ROOT_DIR;
    return drive_type_of(mount_of(r.host_path));
}

BOOL WINAPI GetVolumeInformationW(LPCWSTR lpRootPathName, LPWSTR lpVolumeNameBuffer,
                                  DWORD nVolumeNameSize, LPDWORD lpVolumeSerialNumber,
                                  LPDWORD lpMaximumComponentLength, LPDWORD lpFileSystemFlags,
                                  LPWSTR lpFileSystemNameBuffer, DWORD nFileSystemNameSize)
{
    std::u16string root = lpRootPathName ? std::u16string(lpRootPathName) : current_root();
    std::u16string drive;
    if (root.empty() || !separator(root.back()))
        return fail(ERROR_INVALID_NAME);
    if (!parse_root(root.c_str(), true, drive))
        return fail(ERROR_DIR_NOT_ROOT);
    hostns::Resolution r = name_space().dos_to_host(drive + u"\\");
    if (r.status == hostns::Status::not_ready)
        return fail(ERROR_NOT_READY);
    if (r.status != hostns::Status::ok)
        return fail(ERROR_PATH_NOT_FOUND);
    struct statfs fs;
    if (statfs(r.host_path.c_str(), &fs) != 0)
        return fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(errno));

    MountEntry mount = mount_of(r.host_path);
    std::string boot;
    if ((mount.fs_type == "fuseblk" || mount.fs_type == "fuse") && !mount.source.empty() &&
        mount.source[0] == '/') {
        int fd = open(mount.source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            char sector[16];
            ssize_t n = pread(fd, sector, sizeof sector, 0);
            if (n > 0)
                boot.assign(sector, size_t(n));
            close(fd);
        }
    }
    std::u16string name = windows_fs_name(mount.fs_type, (unsigned long long)fs.f_blocks, boot);
    // The service mounts only NTFS on its disks, with ntfs-3g; when the volume's first sector
    // cannot be read from here, that is still what the mount is.
    if (mount.fs_type == "fuse" && boot.empty() && mount.mount_point != "/" &&
        name_space().device_kind(r.device) == hostns::DeviceKind::disk)
        name = u"NTFS";

    if (lpVolumeNameBuffer) {
        if (nVolumeNameSize < 1)
            return fail(ERROR_BAD_LENGTH);
        lpVolumeNameBuffer[0] = 0; // volume labels are not read from the host
    }
    if (lpFileSystemNameBuffer) {
        if (nFileSystemNameSize < name.size() + 1)
            return fail(ERROR_BAD_LENGTH);
        std::memcpy(lpFileSystemNameBuffer, name.c_str(), (name.size() + 1) * sizeof(char16_t));
    }
    if (lpVolumeSerialNumber) {
        unsigned int parts[2];
        std::memcpy(parts, &fs.f_fsid, sizeof parts);
        *lpVolumeSerialNumber = parts[0] ^ parts[1];
    }
    if (lpMaximumComponentLength)
        *lpMaximumComponentLength = DWORD(fs.f_namelen);
    if (lpFileSystemFlags) {
        DWORD flags = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
        if (name == u"NTFS")
            flags |= FILE_PERSISTENT_ACLS | FILE_SUPPORTS_SPARSE_FILES;
        if (fs.f_flags & ST_RDONLY)
            flags |= FILE_READ_ONLY_VOLUME;
        *lpFileSystemFlags = flags;
    }
    return TRUE;
}

BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName,
                                PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                PULARGE_INTEGER lpTotalNumberOfBytes,
                                PULARGE_INTEGER lpTotalNumberOfFreeBytes)
{
    std::u16string dir = lpDirectoryName ? std::u16string(lpDirectoryName) : current_root();
    HostPath host = resolve_path(dir.c_str());
    if (host.error)
        return fail(host.error);
    struct stat st;
    if (stat(host.path.c_str(), &st) != 0)
        return fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(errno));
    if (!S_ISDIR(st.st_mode))
        return fail(ERROR_DIRECTORY);
    struct statvfs fs;
    if (statvfs(host.path.c_str(), &fs) != 0)
        return fail(error_from_errno(errno));
    if (lpFreeBytesAvailableToCaller)
        lpFreeBytesAvailableToCaller->QuadPart = ULONGLONG(fs.f_bavail) * fs.f_frsize;
    if (lpTotalNumberOfBytes)
        lpTotalNumberOfBytes->QuadPart = ULONGLONG(fs.f_blocks) * fs.f_frsize;
    if (lpTotalNumberOfFreeBytes)
        lpTotalNumberOfFreeBytes->QuadPart = ULONGLONG(fs.f_bfree) * fs.f_frsize;
    return TRUE;
}
