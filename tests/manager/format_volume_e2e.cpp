// Formatting a new vault's volume through the real service: the zelvirdk host of this build,
// mkntfs on the volume's block file, the new NTFS mounted at the drive.
#include "format_volume.h"
#include "service_fixture.h"

#include <hostns/hostns.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <set>

namespace {

using service_fixture::read_text;

struct Report {
    std::vector<DWORD> percents;
    std::vector<CALLBACKCOMMAND> notes; // commands other than PROGRESS and DONE
    int done = -1;
    bool mounted_at_done = false;
};
thread_local Report* report = nullptr;
thread_local WCHAR report_letter = 0;

BOOLEAN WINAPI record(CALLBACKCOMMAND command, DWORD, PVOID argument)
{
    if (command == PROGRESS)
        report->percents.push_back(*static_cast<DWORD*>(argument));
    else if (command == DONE) {
        report->done = *static_cast<BOOLEAN*>(argument);
        WCHAR root[] = u"X:\\";
        root[0] = report_letter;
        WCHAR fs[16] = {};
        report->mounted_at_done =
            GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, fs, 16) &&
            std::u16string(fs) == u"NTFS";
    } else
        report->notes.push_back(command);
    return TRUE;
}

class FormatService : public service_fixture::ServiceTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "formatting a vault needs root and /dev/fuse for the service";
        if (system("command -v mkntfs >/dev/null || test -x /usr/sbin/mkntfs") != 0 ||
            system("command -v ntfslabel >/dev/null || test -x /usr/sbin/ntfslabel") != 0)
            GTEST_SKIP() << "needs mkntfs and ntfslabel (package ntfs-3g)";
        ServiceTest::SetUp();
    }

    // Mounts a new, empty vault of `mib` MiB at the highest free letter.
    WCHAR new_vault(const std::string& file, DWORD mib)
    {
        std::vector<BYTE> key(128, 0);
        key[0] = 0x5A;
        WCHAR letter = client_.FindFreeLetter(true);
        EXPECT_NE(letter, 0);
        const ULONGLONG bytes = ULONGLONG(mib) << 20;
        EXPECT_TRUE(client_.MountNewDisk(letter, dos_path(base_ + "/" + file), DWORD(bytes),
                                         DWORD(bytes >> 32), false, true, key.data(), 128, true))
            << read_text(log_);
        return letter;
    }

    Report format(WCHAR letter, const std::u16string& label, bool quick)
    {
        HMODULE fmifs = LoadLibraryW(u"fmifs.dll");
        EXPECT_NE(fmifs, nullptr);
        auto formatEx = reinterpret_cast<PFORMATEX>(GetProcAddress(fmifs, "FormatEx"));
        EXPECT_NE(formatEx, nullptr);
        Report r;
        report = &r;
        report_letter = letter;
        WCHAR root[] = u"X:\\";
        root[0] = letter;
        std::u16string l = label;
        WCHAR ntfs[] = u"NTFS";
        if (formatEx)
            formatEx(root, FMIFS_HARDDISK, ntfs, l.data(), quick, 0, record);
        report = nullptr;
        FreeLibrary(fmifs);
        return r;
    }

    std::string block(WCHAR letter) const { return root_ + "/disks/ZELVirtualDisk" + char(letter); }

    // The label as ntfs-3g's own tool reads it, from a copy of the volume: the mounted file
    // system holds a lock on the block file.
    std::u16string label_of(WCHAR letter)
    {
        std::string copy = base_ + "/label.img";
        std::string text =
            read_command("cp --sparse=always '" + block(letter) + "' '" + copy +
                         "' && ntfslabel '" + copy + "' 2>/dev/null; rm -f '" + copy + "'");
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return hostns::from_utf8(text);
    }

    static std::string read_command(const std::string& command)
    {
        std::string out;
        if (FILE* p = popen(command.c_str(), "r")) {
            char buffer[4096];
            for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;)
                out.append(buffer, n);
            pclose(p);
        }
        return out;
    }
};

TEST_F(FormatService, QuickFormatMountsTheNewFileSystemBeforeItReturns)
{
    const std::u16string label(128, u'保');
    WCHAR letter = new_vault("quick.lkb", 64);

    // Another user may not write the volume: the service gave it to root. (The test's private
    // runtime folder is opened up to let the user reach it, as /run/lockbin is.)
    ASSERT_EQ(chmod(base_.c_str(), 0755), 0);
    pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        Report mine = format(letter, u"x", true);
        _exit(mine.done == 0 && mine.notes == std::vector<CALLBACKCOMMAND>{INSUFFICIENTRIGHTS} ? 0
                                                                                               : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    Report r = format(letter, label, true);
    ASSERT_EQ(r.done, 1) << read_text(log_);
    EXPECT_TRUE(r.mounted_at_done) << "DONE comes once the drive is there";
    EXPECT_EQ(r.percents.back(), 100u);
    EXPECT_TRUE(std::is_sorted(r.percents.begin(), r.percents.end()));
    EXPECT_GE(std::set<DWORD>(r.percents.begin(), r.percents.end()).size(), 3u);
    EXPECT_EQ(label_of(letter), label);

    // The drive holds files at once.
    WCHAR probe[] = u"X:\\probe.txt";
    probe[0] = letter;
    HANDLE h =
        CreateFileW(probe, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, "data", 4, &written, nullptr));
    CloseHandle(h);

    // A mounted file system is never formatted over.
    Report again = format(letter, u"other", true);
    EXPECT_EQ(again.done, 0);
    EXPECT_EQ(again.notes, std::vector<CALLBACKCOMMAND>{VOLUMEINUSE});
    EXPECT_TRUE(again.percents.empty());
    EXPECT_NE(GetFileAttributesW(probe), INVALID_FILE_ATTRIBUTES) << "the file is still there";

    EXPECT_TRUE(client_.DisMount(letter, true));
}

TEST_F(FormatService, FormatVolumeCutsALongNameAndAFullFormatReportsTheZeroing)
{
    std::u16string name;
    for (int i = 0; i < 200; ++i)
        name += char16_t(u'一' + i);
    WCHAR letter = new_vault("long.lkb", 64);
    std::atomic<int32_t> progress{0};
    ASSERT_TRUE(FormatVolume(letter, &progress, name.c_str(), true, 0, 50)) << read_text(log_);
    EXPECT_EQ(progress.load(), 100);
    EXPECT_EQ(label_of(letter), name.substr(0, 128));
    EXPECT_TRUE(client_.DisMount(letter, true));

    // Without the quick flag mkntfs first writes zeros over the volume and says how far it is.
    letter = new_vault("full.lkb", 32);
    Report r = format(letter, u"full", false);
    ASSERT_EQ(r.done, 1) << read_text(log_);
    std::set<DWORD> zeroing;
    for (DWORD p : r.percents)
        if (p < 80)
            zeroing.insert(p);
    EXPECT_GE(zeroing.size(), 10u);
    EXPECT_TRUE(std::is_sorted(r.percents.begin(), r.percents.end()));
    EXPECT_TRUE(client_.DisMount(letter, true));
}

TEST_F(FormatService, HostDiskFillingUpFailsTheFormatAndKeepsTheVault)
{
    // The container on a host disk of 8 MiB: the volume's log alone does not fit.
    std::string small = base_ + "/small";
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    ASSERT_EQ(mount("tmpfs", small.c_str(), "tmpfs", MS_NODEV | MS_NOSUID, "size=8m"), 0);
    WCHAR letter = new_vault("small/vault.lkb", 4096);
    std::atomic<int32_t> progress{0};
    EXPECT_FALSE(FormatVolume(letter, &progress, u"full", true, 0, 2));

    std::u16string device, path;
    LARGE_INTEGER size{};
    BYTE cdrom, ro, encrypt;
    DWORD rw;
    EXPECT_TRUE(client_.QueryVolume(letter, device, path, size, cdrom, ro, encrypt, rw))
        << "the vault stays mounted";
    EXPECT_TRUE(client_.DisMount(letter, true));
    EXPECT_EQ(umount2(small.c_str(), MNT_DETACH), 0);
}

} // namespace
