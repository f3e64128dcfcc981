// Vaults end to end: control requests from client processes through the socket, the driver's
// volumes, their block files, NTFS made with mkntfs and mounted with ntfs-3g at the drives.
#include "vault_service_test.h"

#include <gtest/gtest.h>

#include <fstream>

#include <sys/statvfs.h>

using namespace vault_test;

namespace {

constexpr LONGLONG kGiB = 1LL << 30;

const ::testing::Environment* const service_environment =
    ::testing::AddGlobalTestEnvironment(new vault_environment);

class Vault : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        if (!vault_service::get().usable(&why))
            GTEST_SKIP() << why;
        std::string pattern = vault_service::get().work() + "/vXXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        ASSERT_EQ(::chmod(folder_.c_str(), 0755), 0);
        ASSERT_EQ(::chown(folder_.c_str(), kUser, kGroup), 0);
        drain_log();
    }
    void TearDown() override
    {
        for (char16_t l = u'D'; l <= u'Z'; ++l)
            if (query(l).status == STATUS_SUCCESS)
                control(IOCTL_REDAV_DISMOUNT, letter_request(l, 1), 0);
        if (!folder_.empty())
            run("rm -rf '" + folder_ + "'");
    }

    static reply query(char16_t letter)
    {
        return control(IOCTL_REDAV_QUERY_VOLUME, letter_request(letter, 0, 2), 1064);
    }
    static REDAV_VOLUME_INFO info(char16_t letter)
    {
        REDAV_VOLUME_INFO v;
        std::memset(&v, 0, sizeof(v));
        reply r = query(letter);
        if (r.status == STATUS_SUCCESS && r.output.size() >= sizeof(v))
            std::memcpy(&v, r.output.data(), sizeof(v));
        return v;
    }
    reply mount_new(char16_t letter, const std::string& file, LONGLONG size,
                    const std::vector<UCHAR>& key, uid_t uid = kUser)
    {
        return control(IOCTL_REDAV_MOUNT_NEW_DISK,
                       mount_request(letter, dos_path(file), size, false, key), 0, uid, uid);
    }
    reply mount_exist(char16_t letter, const std::string& file, const std::vector<UCHAR>& key,
                      bool read_only = false, uid_t uid = kUser)
    {
        return control(IOCTL_REDAV_MOUNT_EXIST_DISK,
                       mount_request(letter, dos_path(file), 0, read_only, key), 0, uid, uid);
    }
    static reply dismount(char16_t letter, bool force, uid_t uid = kUser)
    {
        return control(IOCTL_REDAV_DISMOUNT, letter_request(letter, force), 0, uid, uid);
    }

    // A new 1 GiB vault at Z:, formatted NTFS and mounted at Z:'s mount point.
    void make_ntfs_vault(const std::string& file)
    {
        vault_service& s = vault_service::get();
        ASSERT_EQ(mount_new(u'Z', file, kGiB, vault_key(1)).status, STATUS_SUCCESS);
        ASSERT_EQ(run("mkntfs -Q -F -q -L vault '" + s.disk_file(u'Z') + "'"), 0);
        ASSERT_TRUE(eventually([&] { return is_mount_point(s.mount_point(u'Z')); }))
            << "the new NTFS was not mounted after the format";
    }

    std::string folder_;
};

TEST_F(Vault, NewVaultFormatsMountsAndKeepsItsFilesAcrossARemount)
{
    vault_service& s = vault_service::get();
    const std::string file = folder_ + "/v.lkb";
    ASSERT_EQ(mount_new(u'Z', file, kGiB, vault_key(1)).status, STATUS_SUCCESS);

    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kGiB + 1024);
    EXPECT_LT(st.st_blocks * 512, 16LL << 20) << "the container is not sparse";
    EXPECT_EQ(st.st_uid, kUser) << "the container was not created as the requesting user";
    REDAV_VOLUME_INFO v = info(u'Z');
    EXPECT_EQ(v.FileSize, kGiB);
    EXPECT_EQ(v.IsEncrypt, 1);
    reply hidden = control(IOCTL_REDAV_QUERY_HIDE_SECTOR, letter_request(u'Z', 0, 2), 1026);
    ASSERT_EQ(hidden.status, STATUS_SUCCESS);
    EXPECT_TRUE(std::all_of(hidden.output.begin() + 2, hidden.output.end(),
                            [](UCHAR b) { return b == 0; }));

    // An unformatted volume: a drive link and a block file, no file system.
    char target[256] = {};
    ASSERT_GT(::readlink((s.root() + "/GLOBAL\?\?/Z:").c_str(), target, sizeof(target) - 1), 0);
    EXPECT_STREQ(target, "\\Device\\ZELVirtualDisk\\ZELVirtualDiskZ");
    const hostns::Namespace names(s.root(), 0);
    const char16_t* const device = u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskZ";
    EXPECT_EQ(names.device_kind(device), hostns::DeviceKind::disk);
    ASSERT_EQ(::stat(s.disk_file(u'Z').c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUser);
    EXPECT_EQ(st.st_size, kGiB);
    EXPECT_FALSE(is_mount_point(s.mount_point(u'Z')));

    ASSERT_EQ(run("mkntfs -Q -F -q -L vault '" + s.disk_file(u'Z') + "'"), 0);
    const std::string mp = s.mount_point(u'Z');
    ASSERT_TRUE(eventually([&] { return is_mount_point(mp); })) << "no NTFS at " << mp;
    ASSERT_EQ(::stat(mp.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUser);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_NE(run("grep -q ' " + mp + " ' /proc/self/mounts"), 1);

    const std::string note = mp + "/note.txt";
    ASSERT_TRUE(as_user(kUser, kGroup, [&] {
        int fd = ::open(note.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        bool ok = fd >= 0 && ::write(fd, "kept", 4) == 4 && ::fsync(fd) == 0;
        return ::close(fd) == 0 && ok;
    })) << "the user cannot write its own drive";
    EXPECT_FALSE(as_user(kUser + 1, kGroup + 1, [&] { return ::access(mp.c_str(), R_OK) == 0; }))
        << "another user can look into the drive";

    ASSERT_EQ(dismount(u'Z', false).status, STATUS_SUCCESS);
    EXPECT_FALSE(is_mount_point(mp));
    EXPECT_NE(::access((s.root() + "/GLOBAL\?\?/Z:").c_str(), F_OK), 0);
    EXPECT_EQ(names.device_kind(device), hostns::DeviceKind::unknown);
    EXPECT_EQ(query(u'Z').status, STATUS_UNSUCCESSFUL);

    // The remount with the right key brings the file system back at once.
    ASSERT_EQ(mount_exist(u'Z', file, vault_key(1)).status, STATUS_SUCCESS);
    ASSERT_TRUE(is_mount_point(mp));
    std::ifstream in(note);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "kept");
}

TEST_F(Vault, ContainerNamesMatchAsInTheUserModeLayer)
{
    // Folder and name beyond ASCII, asked for in the other case: found as FileExists finds it.
    const std::string folder = folder_ + "/Äb";
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(::chown(folder.c_str(), kUser, kGroup), 0);
    ASSERT_EQ(mount_new(u'Z', folder + "/Été.lkb", 64LL << 20, vault_key(1)).status,
              STATUS_SUCCESS);
    ASSERT_EQ(dismount(u'Z', false).status, STATUS_SUCCESS);
    const std::u16string other_case = dos_path(folder_) + u"\\äB\\éTÉ.LKB";
    EXPECT_EQ(control(IOCTL_REDAV_MOUNT_EXIST_DISK,
                      mount_request(u'Z', other_case, 0, false, vault_key(1)), 0, kUser, kGroup)
                  .status,
              STATUS_SUCCESS);

    // A lone surrogate names the host file that CreateFileW names.
    const std::u16string lone = dos_path(folder_) + u"\\s" + char16_t(0xD800) + u".lkb";
    EXPECT_EQ(control(IOCTL_REDAV_MOUNT_NEW_DISK,
                      mount_request(u'Y', lone, 64LL << 20, false, vault_key(1)), 0, kUser, kGroup)
                  .status,
              STATUS_SUCCESS);
    EXPECT_EQ(::access((folder_ + "/s\xED\xA0\x80.lkb").c_str(), F_OK), 0);
}

TEST_F(Vault, WrongKeyIsRefusedAndLeavesTheContainerAlone)
{
    const std::string file = folder_ + "/w.lkb";
    make_ntfs_vault(file);
    ASSERT_EQ(dismount(u'Z', false).status, STATUS_SUCCESS);
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    std::ifstream head_in(file, std::ios::binary);
    std::vector<char> head(1 << 20);
    head_in.read(head.data(), std::streamsize(head.size()));
    head_in.close();
    drain_log();

    reply r = mount_exist(u'Z', file, vault_key(2));
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(log_has(drain_log(), u"[redav] VirtualDiskFile isn't validate!"));
    EXPECT_EQ(query(u'Z').status, STATUS_UNSUCCESSFUL);
    struct stat after {};
    ASSERT_EQ(::stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    std::ifstream again(file, std::ios::binary);
    std::vector<char> head_after(head.size());
    again.read(head_after.data(), std::streamsize(head_after.size()));
    EXPECT_EQ(head, head_after);
}

TEST_F(Vault, ReadOnlyMountLetsASecondReaderOpenTheContainer)
{
    const std::string file = folder_ + "/r.lkb";
    make_ntfs_vault(file);
    ASSERT_EQ(dismount(u'Z', false).status, STATUS_SUCCESS);
    ASSERT_EQ(mount_exist(u'Y', file, vault_key(1), true).status, STATUS_SUCCESS);
    EXPECT_EQ(info(u'Y').IsReadOnly, 1);
    EXPECT_EQ(mount_exist(u'X', file, vault_key(1), true).status, STATUS_SUCCESS)
        << "a second reader was refused";
    EXPECT_EQ(mount_exist(u'W', file, vault_key(1), false).status, STATUS_UNSUCCESSFUL)
        << "a writer joined the readers";
    vault_service& s = vault_service::get();
    ASSERT_TRUE(eventually([&] { return is_mount_point(s.mount_point(u'Y')); }, 10));
    EXPECT_LT(::open((s.mount_point(u'Y') + "/new.txt").c_str(), O_CREAT | O_WRONLY, 0600), 0)
        << "created a file on a read-only drive";
}

TEST_F(Vault, HiddenSectorsSurviveARemount)
{
    const std::string file = folder_ + "/h.lkb";
    ASSERT_EQ(mount_new(u'Z', file, 64LL << 20, vault_key(1)).status, STATUS_SUCCESS);
    std::vector<UCHAR> data(1026);
    std::memcpy(data.data(), u"Z", 2);
    for (size_t i = 2; i < data.size(); ++i)
        data[i] = UCHAR(i * 7);
    ASSERT_EQ(control(IOCTL_REDAV_SET_HIDE_SECTOR, data, 0, kUser, kGroup).status, STATUS_SUCCESS);
    ASSERT_EQ(dismount(u'Z', false).status, STATUS_SUCCESS);
    ASSERT_EQ(mount_exist(u'Z', file, vault_key(1)).status, STATUS_SUCCESS);
    reply back = control(IOCTL_REDAV_QUERY_HIDE_SECTOR, letter_request(u'Z', 0, 2), 1026);
    ASSERT_EQ(back.status, STATUS_SUCCESS);
    EXPECT_EQ(back.output, data);
}

TEST_F(Vault, DenyStateFailsReadsOfTheBlockFileUntilSetBack)
{
    const std::string file = folder_ + "/d.lkb";
    ASSERT_EQ(mount_new(u'Z', file, 64LL << 20, vault_key(1)).status, STATUS_SUCCESS);
    const std::string block = vault_service::get().disk_file(u'Z');
    std::vector<UCHAR> state(8, 0);
    std::memcpy(state.data(), u"Z", 2);
    state[4] = 2;
    ASSERT_EQ(control(IOCTL_REDAV_SET_VOLUME_RW_STATUS, state, 0).status, STATUS_SUCCESS);
    int fd = ::open(block.c_str(), O_RDONLY | O_DIRECT);
    ASSERT_GE(fd, 0);
    alignas(4096) static char sector[4096];
    errno = 0;
    EXPECT_LT(::pread(fd, sector, 4096, 8192), 0);
    EXPECT_EQ(errno, EACCES);
    state[4] = 0;
    ASSERT_EQ(control(IOCTL_REDAV_SET_VOLUME_RW_STATUS, state, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(::pread(fd, sector, 4096, 8192), 4096);
    ::close(fd);
}

TEST_F(Vault, BusyDriveResistsAPlainDismountAndForceCutsItsHandles)
{
    const std::string file = folder_ + "/b.lkb";
    make_ntfs_vault(file);
    const std::string mp = vault_service::get().mount_point(u'Z');
    int held = ::open((mp + "/held.txt").c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::write(held, "x", 1), 1);
    drain_log();

    EXPECT_EQ(dismount(u'Z', false).status, STATUS_UNSUCCESSFUL);
    auto log = drain_log();
    EXPECT_EQ(std::count(log.begin(), log.end(),
                         u"[redav] _DisMountVolume failed!(VolumeLetter=Z, Force=0)"),
              10);
    EXPECT_TRUE(log_has(log, u"[redav] Max Retry Count Reached! _DisMountVolume "
                             u"failed!(VolumeLetter=Z, Force=0)"));
    // Still mounted and working.
    EXPECT_TRUE(is_mount_point(mp));
    EXPECT_EQ(::pwrite(held, "y", 1, 1), 1);
    EXPECT_EQ(::fsync(held), 0);

    EXPECT_EQ(dismount(u'Z', true).status, STATUS_SUCCESS);
    char byte;
    errno = 0;
    EXPECT_LT(::pread(held, &byte, 1, 0), 0);
    EXPECT_EQ(errno, ENOTCONN) << "an open handle outlived the forced dismount";
    ::close(held);
    EXPECT_FALSE(is_mount_point(mp));
    EXPECT_EQ(query(u'Z').status, STATUS_UNSUCCESSFUL);
}

TEST_F(Vault, UnprivilegedUserCannotMountOrCreateWhereItCannotWrite)
{
    const std::string locked = folder_ + "/root-only";
    ASSERT_EQ(::mkdir(locked.c_str(), 0755), 0);
    const std::string victim = locked + "/victim.lkb";
    {
        std::ofstream out(victim);
        out << "root's file";
    }
    EXPECT_EQ(mount_new(u'Z', victim, 64LL << 20, vault_key(1)).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(mount_new(u'Z', locked + "/new.lkb", 64LL << 20, vault_key(1)).status,
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(mount_exist(u'Z', victim, vault_key(1)).status, STATUS_UNSUCCESSFUL);
    struct stat st {};
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 11) << "the user truncated a file it cannot write";
    EXPECT_NE(::access((locked + "/new.lkb").c_str(), F_OK), 0);
    // The same requests from root succeed.
    EXPECT_EQ(mount_new(u'Z', locked + "/new.lkb", 64LL << 20, vault_key(1), 0).status,
              STATUS_SUCCESS);
}

TEST_F(Vault, SessionDriveOfTheUserLeadsToItsFolder)
{
    // The user's D: is a folder drive of its session, as the user-mode layer writes it. The
    // user has sent nothing before, so its very first request must already see it.
    constexpr uid_t newcomer = 64123;
    const std::string home = folder_ + "/home";
    ASSERT_EQ(::mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(::chown(home.c_str(), newcomer, kGroup), 0);
    hostns::Namespace ns(vault_service::get().root(), newcomer);
    ASSERT_EQ(ns.define(u"D:", u"\\??\\" + dos_path(home)), 0);

    ASSERT_EQ(control(IOCTL_REDAV_MOUNT_NEW_DISK,
                      mount_request(u'Z', u"D:\\s.lkb", 64LL << 20, false, vault_key(1)), 0,
                      newcomer, kGroup)
                  .status,
              STATUS_SUCCESS);
    struct stat st {};
    ASSERT_EQ(::stat((home + "/s.lkb").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, newcomer);
    // Root has no such D: (its session is its own), so its path would not reach the folder.
    EXPECT_NE(std::u16string(info(u'Z').FilePath).find(u"\\s.lkb"), std::u16string::npos);
}

// An ISO 9660 image mounts read-only at its drive where fuseiso is installed.
TEST_F(Vault, CdromImageShowsItsFilesReadOnly)
{
    if (run("command -v fuseiso") != 0 || run("command -v genisoimage") != 0)
        GTEST_SKIP() << "needs fuseiso and genisoimage: CD-ROM images then stay without files";
    const std::string content = folder_ + "/disc";
    ASSERT_EQ(::mkdir(content.c_str(), 0755), 0);
    {
        std::ofstream out(content + "/readme.txt");
        out << "on the disc";
    }
    const std::string image = folder_ + "/disc.iso";
    ASSERT_EQ(run("genisoimage -quiet -r -o '" + image + "' '" + content + "'"), 0);
    ::chown(image.c_str(), kUser, kGroup);
    ASSERT_EQ(control(IOCTL_REDAV_MOUNT_CDROM, mount_request(u'R', dos_path(image), 0, true, {}), 0,
                      kUser, kGroup)
                  .status,
              STATUS_SUCCESS);
    REDAV_VOLUME_INFO v = info(u'R');
    EXPECT_EQ(v.IsCDROM, 1);
    EXPECT_EQ(hostns::Namespace(vault_service::get().root(), 0)
                  .device_kind(u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskCdR"),
              hostns::DeviceKind::cdrom)
        << "the user-mode layer would not see a CD-ROM drive";
    const std::string mp = vault_service::get().mount_point(u'R');
    ASSERT_TRUE(eventually([&] { return is_mount_point(mp); }, 10));
    struct statvfs fs {};
    ASSERT_EQ(::statvfs(mp.c_str(), &fs), 0);
    EXPECT_TRUE((fs.f_flag & ST_NODEV) && (fs.f_flag & ST_NOSUID)) << "an image may hold devices";
    EXPECT_TRUE(as_user(kUser, kGroup, [&] {
        std::ifstream in(mp + "/readme.txt");
        std::string text;
        std::getline(in, text);
        return text == "on the disc" &&
               ::open((mp + "/new.txt").c_str(), O_CREAT | O_WRONLY, 0600) < 0;
    }));
    ASSERT_EQ(dismount(u'R', false).status, STATUS_SUCCESS);
    EXPECT_FALSE(is_mount_point(mp));
}

// Stopping the service unloads the driver, which dismounts every volume, busy or not.
TEST_F(Vault, StoppingTheServiceDismountsEverything)
{
    make_ntfs_vault(folder_ + "/a.lkb");
    ASSERT_EQ(mount_new(u'Y', folder_ + "/b.lkb", 64LL << 20, vault_key(3)).status, STATUS_SUCCESS);
    const std::string mp = vault_service::get().mount_point(u'Z');
    int held = ::open((mp + "/busy.txt").c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(held, 0);
    EXPECT_TRUE(vault_service::get().restart_driver()) << "the driver left pool blocks";
    EXPECT_FALSE(is_mount_point(mp));
    EXPECT_EQ(query(u'Z').status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(query(u'Y').status, STATUS_UNSUCCESSFUL);
    EXPECT_NE(::access(vault_service::get().disk_file(u'Y').c_str(), F_OK), 0);
    ::close(held);
}

} // namespace
