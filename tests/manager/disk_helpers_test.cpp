#include "disk_helpers.h"

#include "test_root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

namespace {

TEST(PathText, TrailingBackslashes)
{
    EXPECT_EQ(WithTrailingBackslash(u""), u"\\");
    EXPECT_EQ(WithTrailingBackslash(u"C:"), u"C:\\");
    EXPECT_EQ(WithTrailingBackslash(u"C:\\a\\"), u"C:\\a\\");
    EXPECT_EQ(WithoutTrailingBackslash(u"C:\\a\\\\\\"), u"C:\\a");
    EXPECT_EQ(WithoutTrailingBackslash(u"\\\\\\"), u"");
    EXPECT_EQ(WithoutTrailingBackslash(u"C:\\a"), u"C:\\a");
    EXPECT_EQ(WithoutTrailingBackslash(u""), u"");
}

class DiskHelpers : public TestRoot {};

TEST_F(DiskHelpers, FilesFoldersAndDriveDesignators)
{
    std::filesystem::create_directories(volume_ + "/dir");
    std::ofstream(volume_ + "/dir/vault.lkb") << "x";

    EXPECT_TRUE(DirectoryExists(u"T:\\dir"));
    EXPECT_TRUE(DirectoryExists(u"T:\\dir\\\\\\"));
    EXPECT_FALSE(DirectoryExists(u"T:\\dir\\vault.lkb"));
    EXPECT_FALSE(DirectoryExists(u"T:\\none"));
    EXPECT_TRUE(FileExists(u"T:\\dir\\vault.lkb"));
    EXPECT_TRUE(FileExists(u"T:\\dir\\*.lkb")) << "wildcards match";
    EXPECT_FALSE(FileExists(u"T:\\dir"));
    EXPECT_FALSE(FileExists(u"T:\\dir\\*")) << "the first entry is the folder's \".\"";
    EXPECT_FALSE(FileExists(u"T:\\dir\\none.lkb"));
    std::filesystem::create_directories(volume_ + "/Äb");
    std::ofstream(volume_ + "/Äb/Été.lkb") << "x";
    EXPECT_TRUE(FileExists(u"T:\\äB\\éTÉ.LKB")) << "as the service finds the container";

    EXPECT_TRUE(DirectoryExists(u"T:"));
    EXPECT_TRUE(DirectoryExists(u"t:\\"));
    EXPECT_FALSE(DirectoryExists(u"Q:"));
    EXPECT_FALSE(DirectoryExists(u"Q:\\"));
    // A vault volume without a mounted file system: present, though nothing can be searched.
    hostns::Namespace ns;
    ASSERT_EQ(ns.publish_global(u"Y:", u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskY"), 0);
    EXPECT_TRUE(DirectoryExists(u"Y:\\"));
    EXPECT_TRUE(IsDriveLetterPresent(u'y'));
    EXPECT_FALSE(IsDriveLetterPresent(u'Q'));
}

TEST_F(DiskHelpers, CreateDirectoryTreeMakesOnlyWhatIsMissing)
{
    std::filesystem::create_directories(volume_ + "/a");
    std::filesystem::permissions(volume_ + "/a", std::filesystem::perms::owner_all);
    ASSERT_TRUE(CreateDirectoryTree(u"T:\\a\\b\\c"));
    EXPECT_TRUE(std::filesystem::is_directory(volume_ + "/a/b/c"));
    EXPECT_TRUE(CreateDirectoryTree(u"T:\\a\\b\\c\\")) << "an existing tree";
    EXPECT_TRUE(CreateDirectoryTree(u"T:\\\\x\\\\y")) << "empty pieces are dropped";
    EXPECT_TRUE(std::filesystem::is_directory(volume_ + "/x/y"));

    EXPECT_FALSE(CreateDirectoryTree(u"Q:\\a\\b")) << "a drive that is not present";
    std::ofstream(volume_ + "/file") << "x";
    EXPECT_FALSE(CreateDirectoryTree(u"T:\\file\\sub")) << "a file in the way";
}

TEST_F(DiskHelpers, FileSystemQueriesOfDrivesWithoutNtfs)
{
    EXPECT_FALSE(IsNtfsVolume(u'Q'));
    EXPECT_FALSE(IsFatVolume(u'Q'));
    WCHAR name[MAX_PATH];
    ASSERT_TRUE(
        GetVolumeInformationW(u"T:\\", nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH));
    std::u16string fs(name);
    EXPECT_EQ(IsNtfsVolume(u'T'), fs == u"NTFS");
    EXPECT_EQ(IsFatVolume(u'T'), fs == u"FAT" || fs == u"FAT32");
}

TEST_F(DiskHelpers, NtfsVolumeMountedWithNtfs3g)
{
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0 ||
        access("/usr/sbin/mkntfs", X_OK) != 0 || access("/usr/bin/ntfs-3g", X_OK) != 0)
        GTEST_SKIP() << "needs root, /dev/fuse, mkntfs and ntfs-3g";
    std::string image = base_ + "/ntfs.img", mount = base_ + "/ntfs";
    std::filesystem::create_directories(mount);
    std::string make = "truncate -s 16M " + image + " && mkntfs -F -Q -q " + image +
                       " >/dev/null 2>&1 && ntfs-3g " + image + " " + mount;
    if (std::system(make.c_str()) != 0)
        GTEST_SKIP() << "could not mount an NTFS image here";
    struct Unmount {
        std::string at;
        ~Unmount() { std::system(("umount " + at).c_str()); }
    } unmount{mount};
    hostns::Namespace ns;
    ASSERT_EQ(ns.publish_global(u"N:", u"\\Device\\NtfsTest"), 0);
    ASSERT_EQ(ns.publish_volume(u"\\Device\\NtfsTest", mount), 0);
    EXPECT_TRUE(IsNtfsVolume(u'N'));
    EXPECT_TRUE(IsNtfsVolume(u'n'));
    EXPECT_FALSE(IsFatVolume(u'N'));
}

using detail::choose_default_disk;
using detail::DiskFacts;

TEST(ChooseDefaultDisk, PolicyOverTheDisksFound)
{
    const ULONGLONG G = 1ull << 30;
    // Never the Windows disk while another fixed disk has free space.
    EXPECT_EQ(choose_default_disk(
                  u'C', {{u'C', true, true, 900 * G, true}, {u'D', true, true, 1 * G, false}}),
              u'D');
    // Any NTFS disk with free space beats a larger FAT32 disk.
    EXPECT_EQ(choose_default_disk(
                  u'C', {{u'D', true, true, 500 * G, false}, {u'E', true, true, 2 * G, true}}),
              u'E');
    // Of two equal disks the earlier stays; a disk without free bytes is never chosen.
    EXPECT_EQ(choose_default_disk(u'C', {{u'E', true, true, 5 * G, true},
                                         {u'F', true, true, 5 * G, true},
                                         {u'G', true, true, 0, true}}),
              u'E');
    // Only fixed disks whose free space is known count.
    EXPECT_EQ(choose_default_disk(u'C', {{u'D', false, true, 50 * G, true},
                                         {u'E', true, false, 0, true},
                                         {u'F', true, true, 0, false}}),
              u'C');
    EXPECT_EQ(choose_default_disk(u'c', {{u'C', true, true, 9 * G, true}}), u'c')
        << "the Windows disk is matched without regard to case";
}

TEST_F(DiskHelpers, ChooseDefaultDiskOnThisHost)
{
    // D: (the home folder) switched off, so the drives are C: and T: only.
    std::string cfg = base_ + "/cfg";
    std::filesystem::create_directories(cfg + "/lockbin");
    std::ofstream(cfg + "/lockbin/drives") << "D: none\n";
    const char* old = std::getenv("XDG_CONFIG_HOME");
    std::string saved = old ? old : "";
    setenv("XDG_CONFIG_HOME", cfg.c_str(), 1);
    WCHAR pick = ChooseDefaultDisk();
    ULARGE_INTEGER free_bytes{};
    bool t_counts = GetDriveTypeW(u"T:\\") == DRIVE_FIXED &&
                    GetDiskFreeSpaceExW(u"T:\\", nullptr, nullptr, &free_bytes) &&
                    free_bytes.QuadPart > 0;
    EXPECT_EQ(pick, t_counts ? u'T' : u'C');

    hostns::Namespace ns;
    ASSERT_EQ(ns.unpublish_global(u"T:"), 0);
    EXPECT_EQ(ChooseDefaultDisk(), u'C') << "the Windows disk is the only fixed disk";
    if (old)
        setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_CONFIG_HOME");
}

} // namespace
