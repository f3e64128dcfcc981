#include "test_root.h"

#include "windows.h"

#include "volume.h"

#include <fstream>

namespace {

std::u16string query(const char16_t* name)
{
    WCHAR buf[512];
    DWORD n = QueryDosDeviceW(name, buf, 512);
    if (n == 0)
        return u"<none>";
    EXPECT_GE(n, 2u);
    EXPECT_EQ(buf[n - 1], 0);
    EXPECT_EQ(buf[n - 2], 0) << "a list ends in two NULs";
    return std::u16string(buf);
}

class DosDevices : public TestRoot {};

TEST_F(DosDevices, SessionDefinitionsShadowGlobalLinksAndComeOffAgain)
{
    EXPECT_EQ(query(u"T:"), u"\\Device\\TestVolume");
    EXPECT_EQ(query(u"C:"), u"\\Device\\HarddiskVolume1") << "built in before the service runs";
    EXPECT_EQ(query(u"Q:"), u"<none>");
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    std::filesystem::create_directories(base_ + "/other");
    hostns::Namespace ns;
    ASSERT_EQ(ns.publish_volume(u"\\Device\\Other", base_ + "/other"), 0);
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"t:", u"\\Device\\Other"));
    EXPECT_EQ(query(u"T:"), u"\\Device\\Other");
    std::ofstream(base_ + "/other/here") << "x";
    EXPECT_NE(GetFileAttributesW(u"T:\\here"), INVALID_FILE_ATTRIBUTES)
        << "files resolve through the session's definition";

    EXPECT_FALSE(DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, u"T:",
                                  u"\\Device\\Oth"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(query(u"T:"), u"\\Device\\Other") << "an inexact target removes nothing";
    ASSERT_TRUE(DefineDosDeviceW(DDD_REMOVE_DEFINITION, u"T:", nullptr));
    EXPECT_EQ(query(u"T:"), u"\\Device\\TestVolume") << "the global link shows through";
    EXPECT_FALSE(DefineDosDeviceW(DDD_REMOVE_DEFINITION, u"T:", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << "global links are not the session's";

    ASSERT_TRUE(DefineDosDeviceW(0, u"K:", u"T:\\sub"));
    EXPECT_EQ(query(u"K:"), u"\\??\\T:\\sub") << "a DOS path target becomes a folder drive";
    std::filesystem::create_directories(volume_ + "/sub/inner");
    EXPECT_EQ(GetFileAttributesW(u"K:\\inner"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"K:", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(DosDevices, BufferRulesOfTheListingCalls)
{
    WCHAR small[8];
    EXPECT_EQ(QueryDosDeviceW(u"T:", small, 8), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    WCHAR fits[20]; // "\Device\TestVolume" is 18 characters, then two NULs
    EXPECT_EQ(QueryDosDeviceW(u"T:", fits, 20), 20u);

    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"M:", u"\\Device\\TestVolume"));
    DWORD mask = GetLogicalDrives();
    EXPECT_TRUE(mask & (1u << ('C' - 'A')));
    EXPECT_TRUE(mask & (1u << ('M' - 'A')));
    EXPECT_TRUE(mask & (1u << ('T' - 'A')));
    EXPECT_FALSE(mask & (1u << ('Q' - 'A')));

    int drives = __builtin_popcount(mask);
    DWORD needed = DWORD(drives * 4 + 1);
    EXPECT_EQ(GetLogicalDriveStringsW(0, nullptr), needed);
    std::u16string buf(needed, u'#');
    EXPECT_EQ(GetLogicalDriveStringsW(needed - 1, buf.data()), needed);
    EXPECT_EQ(buf[0], u'#') << "nothing written when it does not fit";
    EXPECT_EQ(GetLogicalDriveStringsW(needed, buf.data()), needed - 1);
    EXPECT_EQ(buf.substr(0, 4), std::u16string(u"C:\\\0", 4));
    EXPECT_NE(buf.find(std::u16string(u"M:\\\0T:\\\0", 8)), std::u16string::npos);
    EXPECT_EQ(buf[needed - 1], 0);
}

TEST_F(DosDevices, HomeIsDriveDUnlessTheDrivesFileSaysOtherwise)
{
    std::string home = base_ + "/home", cfg = base_ + "/cfg";
    std::filesystem::create_directories(home + "/docs");
    std::filesystem::create_directories(cfg + "/lockbin");
    std::filesystem::create_directories(base_ + "/elsewhere");
    std::ofstream(cfg + "/lockbin/drives") << "# mine\nE: " << base_ << "/elsewhere\n";
    const char* old_home = std::getenv("HOME");
    std::string saved = old_home ? old_home : "";
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", cfg.c_str(), 1);
    EXPECT_EQ(GetFileAttributesW(u"D:\\docs"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    std::u16string expected = u"\\??\\C:" + hostns::from_utf8(home);
    for (auto& c : expected)
        if (c == u'/')
            c = u'\\';
    EXPECT_EQ(query(u"D:"), expected) << "a folder drive on C:, like subst";
    EXPECT_EQ(GetFileAttributesW(u"E:\\"), DWORD(FILE_ATTRIBUTE_DIRECTORY));

    // Removed once, it stays removed for the session: the defaults are written only once.
    ASSERT_TRUE(DefineDosDeviceW(DDD_REMOVE_DEFINITION, u"D:", nullptr));
    hostns::Namespace ns;
    EXPECT_EQ(ns.ensure_session_defaults(home, cfg + "/lockbin/drives"), 0);
    EXPECT_EQ(query(u"D:"), u"<none>");
    setenv("HOME", saved.c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
}

} // namespace

namespace {

using win32::detail::drive_type_of;
using win32::detail::MountEntry;
using win32::detail::windows_fs_name;

TEST(FileSystemNames, AsWindowsNamesThem)
{
    EXPECT_EQ(windows_fs_name("fuseblk", 0, ""), u"NTFS");
    EXPECT_EQ(windows_fs_name("ntfs3", 0, ""), u"NTFS");
    EXPECT_EQ(windows_fs_name("fuseblk", 0,
                              std::string("\xEBv\x90"
                                          "EXFAT   ",
                                          11)),
              u"exFAT");
    EXPECT_EQ(windows_fs_name("fuseblk", 0,
                              std::string("\xEBR\x90"
                                          "NTFS    ",
                                          11)),
              u"NTFS");
    EXPECT_EQ(windows_fs_name("fuse", 0,
                              std::string("\xEBR\x90"
                                          "NTFS    ",
                                          11)),
              u"NTFS");
    EXPECT_EQ(windows_fs_name("fuse", 0, "#!/bin/sh\n"), u"fuse") << "another FUSE file system";
    EXPECT_EQ(windows_fs_name("exfat", 1 << 20, ""), u"exFAT");
    EXPECT_EQ(windows_fs_name("vfat", 65524, ""), u"FAT") << "FAT16 is shown as FAT";
    EXPECT_EQ(windows_fs_name("vfat", 65525, ""), u"FAT32");
    EXPECT_EQ(windows_fs_name("fuse.fusefat", 65525, ""), u"FAT32");
    EXPECT_EQ(windows_fs_name("ext4", 1000, ""), u"ext4");
}

TEST(DriveTypes, FromFileSystemAndSysBlock)
{
    char pattern[] = "/tmp/lockbin-sys-XXXXXX";
    std::string sys = mkdtemp(pattern);
    std::filesystem::create_directories(sys + "/disks/sdb/sdb1");
    std::ofstream(sys + "/disks/sdb/removable") << "1\n";
    std::ofstream(sys + "/disks/sdb/sdb1/partition") << "1\n";
    std::filesystem::create_directories(sys + "/disks/sda/sda1");
    std::ofstream(sys + "/disks/sda/removable") << "0\n";
    std::ofstream(sys + "/disks/sda/sda1/partition") << "1\n";
    std::filesystem::create_directories(sys + "/class");
    std::filesystem::create_directory_symlink(sys + "/disks/sdb/sdb1", sys + "/class/sdb1");
    std::filesystem::create_directory_symlink(sys + "/disks/sdb", sys + "/class/sdb");
    std::filesystem::create_directory_symlink(sys + "/disks/sda/sda1", sys + "/class/sda1");
    std::string cls = sys + "/class";

    EXPECT_EQ(drive_type_of(MountEntry{"/m", "vfat", "/dev/sdb1"}, cls), UINT(DRIVE_REMOVABLE));
    EXPECT_EQ(drive_type_of(MountEntry{"/m", "vfat", "/dev/sdb"}, cls), UINT(DRIVE_REMOVABLE));
    EXPECT_EQ(drive_type_of(MountEntry{"/m", "ext4", "/dev/sda1"}, cls), UINT(DRIVE_FIXED));
    EXPECT_EQ(drive_type_of(MountEntry{"/m", "nfs4", "srv:/x"}, cls), UINT(DRIVE_REMOTE));
    EXPECT_EQ(drive_type_of(MountEntry{"/m", "fuse.sshfs", "u@h:"}, cls), UINT(DRIVE_REMOTE));
    EXPECT_EQ(drive_type_of(MountEntry{"/m", "cifs", "//h/s"}, cls), UINT(DRIVE_REMOTE));
    EXPECT_EQ(drive_type_of(MountEntry{"/m", "udf", "/dev/sda1"}, cls), UINT(DRIVE_CDROM));
    EXPECT_EQ(drive_type_of(MountEntry{"/m", "iso9660", "/x.iso"}, cls), UINT(DRIVE_CDROM));
    EXPECT_EQ(drive_type_of(MountEntry{"/m", "ext4", "/dev/sr0"}, cls), UINT(DRIVE_CDROM));
    EXPECT_EQ(drive_type_of(MountEntry{"/m", "fuseblk", "/run/lockbin/x"}, cls), UINT(DRIVE_FIXED));
    std::filesystem::remove_all(sys);
}

class Volumes : public TestRoot {};

TEST_F(Volumes, DriveTypeAndVolumeInformationOfDefinedAndUndefinedDrives)
{
    EXPECT_EQ(GetDriveTypeW(u"Q:\\"), UINT(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(GetDriveTypeW(u"T:\\sub"), UINT(DRIVE_NO_ROOT_DIR)) << "not a root";
    EXPECT_NE(GetDriveTypeW(u"T:\\"), UINT(DRIVE_NO_ROOT_DIR));
    EXPECT_EQ(GetDriveTypeW(u"T:"), GetDriveTypeW(u"T:\\"));

    // A vault volume before its file system is mounted: a disk (or CD-ROM), as the service
    // published its kind, but not ready. Device names tell nothing.
    hostns::Namespace ns;
    ASSERT_EQ(ns.publish_global(u"Y:", u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskCdY"), 0);
    ASSERT_EQ(ns.publish_global(u"X:", u"\\Device\\Any\\X"), 0);
    ASSERT_EQ(ns.publish_global(u"W:", u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskW"), 0);
    ASSERT_EQ(ns.publish_device_kind(u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskCdY",
                                     hostns::DeviceKind::disk),
              0);
    ASSERT_EQ(ns.publish_device_kind(u"\\DEVICE\\any\\x", hostns::DeviceKind::cdrom), 0);
    EXPECT_EQ(GetDriveTypeW(u"Y:\\"), UINT(DRIVE_FIXED));
    EXPECT_EQ(GetDriveTypeW(u"X:\\"), UINT(DRIVE_CDROM));
    EXPECT_EQ(GetDriveTypeW(u"W:\\"), UINT(DRIVE_UNKNOWN)) << "no kind published, no files";
    WCHAR fs[MAX_PATH];
    EXPECT_FALSE(
        GetVolumeInformationW(u"Y:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, MAX_PATH));
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_FALSE(
        GetVolumeInformationW(u"Q:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, MAX_PATH));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(GetVolumeInformationW(u"T:", nullptr, 0, nullptr, nullptr, nullptr, fs, MAX_PATH));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_FALSE(
        GetVolumeInformationW(u"T:\\a\\", nullptr, 0, nullptr, nullptr, nullptr, fs, MAX_PATH));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_ROOT);

    DWORD serial = 0, max_component = 0, flags = 0;
    ASSERT_TRUE(
        GetVolumeInformationW(u"T:\\", nullptr, 0, &serial, &max_component, &flags, fs, MAX_PATH));
    std::u16string name(fs);
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(max_component, 255u);
    EXPECT_FALSE(GetVolumeInformationW(u"T:\\", nullptr, 0, nullptr, nullptr, nullptr, fs,
                                       DWORD(name.size())));
    EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH) << "no room for the NUL";
    EXPECT_TRUE(GetVolumeInformationW(u"T:\\", nullptr, 0, nullptr, nullptr, nullptr, fs,
                                      DWORD(name.size() + 1)));
}

TEST_F(Volumes, FreeSpaceIsTheHostFileSystems)
{
    ULARGE_INTEGER avail{}, total{}, free_bytes{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(u"T:\\", &avail, &total, &free_bytes));
    auto space = std::filesystem::space(volume_);
    EXPECT_EQ(total.QuadPart, space.capacity);
    // Free space moves while other programs write; allow a little drift.
    auto near = [](ULONGLONG a, ULONGLONG b) { return (a > b ? a - b : b - a) < (64ull << 20); };
    EXPECT_TRUE(near(avail.QuadPart, space.available));
    EXPECT_TRUE(near(free_bytes.QuadPart, space.free));
    EXPECT_LE(avail.QuadPart, free_bytes.QuadPart);

    std::ofstream(volume_ + "/f") << "x";
    EXPECT_FALSE(GetDiskFreeSpaceExW(u"T:\\f", &avail, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DIRECTORY);
    EXPECT_FALSE(GetDiskFreeSpaceExW(u"Q:\\", &avail, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

} // namespace
