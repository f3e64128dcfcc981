#include "file_manager.h"
#include "fmifs.h"
#include "windows.h"

#include "test_root.h"

#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace {

TEST(Modules, LoadedByNameCountedAndFreed)
{
    HMODULE a = LoadLibraryW(u"fmifs.dll");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(LoadLibraryW(u"FMIFS"), a) << "no extension means .dll; case does not count";
    EXPECT_EQ(LoadLibraryW(u"C:\\Windows\\System32\\FmIfs.DLL"), a);
    for (const char16_t* other :
         {u"kernel32.dll", u"fmifs.", u"D:\\apps\\fmifs.dll", u"", u"fmifs.dll\\"}) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryW(other), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    }

    EXPECT_EQ(reinterpret_cast<PFORMATEX>(GetProcAddress(a, "FormatEx")), &FormatEx);
    for (LPCSTR missing : {"formatex", "Chkdsk", reinterpret_cast<LPCSTR>(uintptr_t(1))}) {
        SetLastError(0);
        EXPECT_EQ(GetProcAddress(a, missing), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    }

    // Three loads, three frees; then the handle is gone.
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_NE(GetProcAddress(a, "FormatEx"), nullptr);
    EXPECT_TRUE(FreeLibrary(a));
    EXPECT_FALSE(FreeLibrary(a));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetProcAddress(a, "FormatEx"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
}

struct Calls {
    std::vector<CALLBACKCOMMAND> commands;
    int done = -1;
};
thread_local Calls* calls = nullptr;

BOOLEAN WINAPI note(CALLBACKCOMMAND command, DWORD, PVOID argument)
{
    calls->commands.push_back(command);
    if (command == DONE)
        calls->done = *static_cast<BOOLEAN*>(argument);
    return TRUE;
}

Calls format(const char16_t* root, FMIFS_MEDIA_FLAG media, const char16_t* fs,
             const std::u16string& label, ULONG cluster)
{
    Calls c;
    calls = &c;
    std::u16string r = root, f = fs, l = label;
    FormatEx(r.data(), media, f.data(), l.data(), TRUE, cluster, note);
    calls = nullptr;
    return c;
}

class FormatExRefusals : public TestRoot {};

// Nothing here may reach mkntfs: every case ends in DONE FALSE without a percentage.
TEST_F(FormatExRefusals, WhatCannotBeFormattedIsNeverTouched)
{
    hostns::Namespace ns;
    // A drive whose device the service did not publish as a disk (and has no block file).
    ASSERT_EQ(ns.publish_global(u"U:", u"\\Device\\NoSuchDisk"), 0);
    // A drive that leads to a folder, not a device.
    ASSERT_EQ(ns.define(u"V:", u"\\??\\C:\\tmp"), 0);
    // A CD-ROM volume of the service.
    ASSERT_EQ(ns.publish_global(u"S:", u"\\Device\\SomeCd"), 0);
    ASSERT_EQ(ns.publish_device_kind(u"\\Device\\SomeCd", hostns::DeviceKind::cdrom), 0);

    const std::u16string pair = u"\U0001F600";
    struct Row {
        const char16_t* root;
        FMIFS_MEDIA_FLAG media;
        const char16_t* fs;
        std::u16string label;
        ULONG cluster;
    } rows[] = {
        {u"U", FMIFS_HARDDISK, u"NTFS", u"", 0},
        {u"U:\\x", FMIFS_HARDDISK, u"NTFS", u"", 0},
        {u"U:\\", FMIFS_FLOPPY, u"NTFS", u"", 0},
        {u"U:\\", FMIFS_HARDDISK, u"FAT32", u"", 0},
        {u"U:\\", FMIFS_HARDDISK, u"ntfs", std::u16string(129, u'a'), 0},
        {u"U:\\", FMIFS_HARDDISK, u"NTFS", u"a" + pair.substr(0, 1), 0},
        {u"U:\\", FMIFS_HARDDISK, u"NTFS", pair.substr(1) + u"a", 0},
        {u"U:\\", FMIFS_HARDDISK, u"NTFS", u"", 1000},
        {u"U:\\", FMIFS_HARDDISK, u"NTFS", u"", 0},
        {u"V:\\", FMIFS_HARDDISK, u"NTFS", u"", 0},
        {u"S:\\", FMIFS_HARDDISK, u"NTFS", u"", 0},
        {u"W:\\", FMIFS_HARDDISK, u"NTFS", u"", 0},
        // Drives with a file system that are no disk of the service: the host's root and a
        // published volume.
        {u"C:\\", FMIFS_HARDDISK, u"NTFS", u"", 0},
        {u"T:", FMIFS_HARDDISK, u"NTFS", u"", 0},
    };
    for (const Row& r : rows) {
        Calls c = format(r.root, r.media, r.fs, r.label, r.cluster);
        EXPECT_EQ(c.commands, std::vector<CALLBACKCOMMAND>{DONE})
            << hostns::to_utf8(r.root) << " " << r.label.size();
        EXPECT_EQ(c.done, 0);
    }
}

// A program standing in for gdbus or xdg-open: logs its arguments, one per line, and prints
// what the test says.
void fake_program(const std::string& path, const std::string& log, const std::string& body)
{
    std::ofstream(path) << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\" >> '" << log
                        << "'; done\necho -- >> '" << log << "'\n"
                        << body << "\n";
    chmod(path.c_str(), 0755);
}

std::string read_text(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class ShowFile : public TestRoot {};

TEST_F(ShowFile, AsksTheFileManagerOverTheBusElseOpensTheFolder)
{
    using win32::detail::ShownBy;
    const std::string bin = base_ + "/bin", log = base_ + "/log";
    std::filesystem::create_directories(bin);
    const char* old_path = std::getenv("PATH");
    std::string saved = old_path ? old_path : "";
    setenv("PATH", bin.c_str(), 1);
    const std::string file = "/home/用户/my keys/保险箱 'a'.lkbkey";
    const std::string uri =
        "file:///home/%E7%94%A8%E6%88%B7/my%20keys/%E4%BF%9D%E9%99%A9%E7%AE%B1%20%27a%27.lkbkey";
    EXPECT_EQ(win32::detail::file_uri(file), uri);

    // A file manager owns the name: one ShowItems call with the file's URI.
    fake_program(bin + "/gdbus", log, "case \"$*\" in *NameHasOwner*) echo '(true,)';; esac");
    fake_program(bin + "/xdg-open", log, "");
    EXPECT_EQ(win32::detail::show_file_selected(file), ShownBy::file_manager);
    std::string said = read_text(log);
    EXPECT_NE(said.find("org.freedesktop.FileManager1.ShowItems\n['" + uri + "']\n\n--"),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("xdg-open"), std::string::npos);

    // Only activatable: still the bus.
    std::filesystem::remove(log);
    fake_program(bin + "/gdbus", log,
                 "case \"$*\" in *NameHasOwner*) echo '(false,)';; *ListActivatable*) echo "
                 "\"(['org.freedesktop.DBus', 'org.freedesktop.FileManager1'],)\";; esac");
    EXPECT_EQ(win32::detail::show_file_selected(file), ShownBy::file_manager);

    // Nobody offers it, or the call fails: the folder is opened instead.
    fake_program(bin + "/gdbus", log, "echo '(false,)'");
    std::filesystem::remove(log);
    EXPECT_EQ(win32::detail::show_file_selected(file), ShownBy::folder_opened);
    EXPECT_NE(read_text(log).find("\n/home/用户/my keys\n--"), std::string::npos) << read_text(log);
    fake_program(bin + "/gdbus", log,
                 "case \"$*\" in *NameHasOwner*) echo '(true,)';; *) exit 1;; esac");
    EXPECT_EQ(win32::detail::show_file_selected(file), ShownBy::folder_opened);

    std::filesystem::remove(bin + "/gdbus");
    std::filesystem::remove(bin + "/xdg-open");
    EXPECT_EQ(win32::detail::show_file_selected(file), ShownBy::nothing);
    setenv("PATH", saved.c_str(), 1);
}

} // namespace
