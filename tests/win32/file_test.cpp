#include "test_root.h"

#include "windows.h"

#include <fstream>
#include <sys/stat.h>

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void spit(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

class FileCalls : public TestRoot {};

TEST_F(FileCalls, DispositionsReportExistenceAsWindowsDoes)
{
    HANDLE h = CreateFileW(u"T:\\a.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_TRUE(CloseHandle(h));

    EXPECT_EQ(CreateFileW(u"T:\\a.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

    spit(host("a.bin"), "old contents");
    h = CreateFileW(u"T:\\a.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(h);
    EXPECT_EQ(slurp(host("a.bin")), "") << "CREATE_ALWAYS truncates";

    h = CreateFileW(u"T:\\b.bin", GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(h);

    EXPECT_EQ(CreateFileW(u"T:\\missing", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileW(u"T:\\nodir\\x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(CreateFileW(u"Q:\\x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND) << "an undefined drive";
    EXPECT_EQ(CreateFileW(u"T:\\a|b", GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_EQ(
        CreateFileW(u"\\\\server\\share\\x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_BAD_NETPATH);
}

TEST_F(FileCalls, ReadWriteSizeAndAccessRights)
{
    HANDLE h = CreateFileW(u"T:/sub/../data.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           nullptr, CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string payload(10000, 'x');
    payload[9999] = 'y';
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, payload.data(), DWORD(payload.size()), &done, nullptr));
    EXPECT_EQ(done, payload.size());
    EXPECT_TRUE(FlushFileBuffers(h));
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 10000);
    CloseHandle(h);
    EXPECT_EQ(slurp(host("data.bin")), payload);

    h = CreateFileW(u"T:\\data.bin", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                    nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[4096];
    std::string back;
    for (;;) {
        ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &done, nullptr));
        back.append(buf, done);
        if (done < sizeof buf)
            break;
    }
    EXPECT_EQ(back, payload);
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &done, nullptr)) << "end of file is success";
    EXPECT_EQ(done, 0u);

    EXPECT_FALSE(WriteFile(h, "z", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(FlushFileBuffers(h));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    OVERLAPPED ov{};
    EXPECT_FALSE(ReadFile(h, buf, 1, &done, &ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(CloseHandle(h));

    EXPECT_FALSE(CloseHandle(h)) << "a handle closes once";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReadFile(h, buf, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(GetFileSizeEx(INVALID_HANDLE_VALUE, &size));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(FileCalls, FoldersNeedBackupSemanticsAndAreNeverDeletedAsFiles)
{
    ASSERT_TRUE(CreateDirectoryW(u"T:\\dir", nullptr));
    EXPECT_FALSE(CreateDirectoryW(u"T:\\dir", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryW(u"T:\\no\\such", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    EXPECT_EQ(CreateFileW(u"T:\\dir", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    HANDLE h =
        CreateFileW(u"T:\\dir", 0, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);

    EXPECT_FALSE(DeleteFileW(u"T:\\dir"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileW(u"T:\\gone"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesW(u"T:\\dir"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW(u"T:\\gone"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FileCalls, ReadOnlyAttributeHoldsEvenForRoot)
{
    spit(host("ro.txt"), "keep");
    ASSERT_TRUE(SetFileAttributesW(u"T:\\ro.txt", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesW(u"T:\\ro.txt"), DWORD(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(CreateFileW(u"T:\\ro.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileW(u"T:\\ro.txt"));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    spit(host("other.txt"), "other");
    EXPECT_FALSE(MoveFileExW(u"T:\\other.txt", u"T:\\ro.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(slurp(host("ro.txt")), "keep");

    ASSERT_TRUE(SetFileAttributesW(u"T:\\ro.txt", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(u"T:\\ro.txt"), DWORD(FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileW(u"T:\\ro.txt"));
}

TEST_F(FileCalls, MoveReplacesOnlyWhenAsked)
{
    spit(host("from"), "new");
    spit(host("to"), "old");
    EXPECT_FALSE(MoveFileExW(u"T:\\from", u"T:\\to", 0));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(slurp(host("to")), "old");
    ASSERT_TRUE(MoveFileExW(u"T:\\from", u"T:\\to", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(slurp(host("to")), "new");
    EXPECT_FALSE(std::filesystem::exists(host("from")));

    EXPECT_FALSE(MoveFileExW(u"T:\\from", u"T:\\x", 0));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    std::filesystem::create_directory(host("d"));
    EXPECT_FALSE(MoveFileExW(u"T:\\to", u"T:\\d", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << "a folder is never replaced";
    EXPECT_FALSE(MoveFileExW(u"T:\\to", u"T:\\x", MOVEFILE_DELAY_UNTIL_REBOOT));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(FileCalls, MoveAcrossVolumesCopiesOnlyWhenAllowed)
{
    // /dev/shm is a different file system from /tmp on most hosts; skip where it is not.
    struct stat a, b;
    if (stat("/dev/shm", &b) != 0 || stat(volume_.c_str(), &a) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second file system to move across";
    char pattern[] = "/dev/shm/lockbin-move-XXXXXX";
    std::string other = mkdtemp(pattern);
    hostns::Namespace ns;
    ASSERT_EQ(ns.publish_global(u"U:", u"\\Device\\Other"), 0);
    ASSERT_EQ(ns.publish_volume(u"\\Device\\Other", other), 0);
    spit(host("f"), "payload");
    EXPECT_FALSE(MoveFileExW(u"T:\\f", u"U:\\f", 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_SAME_DEVICE);
    EXPECT_TRUE(MoveFileExW(u"T:\\f", u"U:\\f", MOVEFILE_COPY_ALLOWED));
    EXPECT_EQ(slurp(other + "/f"), "payload");
    EXPECT_FALSE(std::filesystem::exists(host("f")));
    std::filesystem::remove_all(other);
}

TEST_F(FileCalls, DeleteOnCloseAndRelativePaths)
{
    auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(volume_);
    HANDLE h = CreateFileW(u"sub\\..\\temp.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    std::filesystem::current_path(cwd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(std::filesystem::exists(host("temp.bin")));
    CloseHandle(h);
    EXPECT_FALSE(std::filesystem::exists(host("temp.bin")));
}

TEST_F(FileCalls, NamesMatchWithoutRegardToCase)
{
    std::filesystem::create_directories(volume_ + "/Lockbin/Sub");
    spit(host("Lockbin/Sub/Vault.lkb"), "v");
    EXPECT_EQ(GetFileAttributesW(u"T:\\LOCKBIN\\sub\\vault.LKB"), DWORD(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(CreateFileW(u"T:\\lockbin\\SUB\\VAULT.lkb", GENERIC_READ, 0, nullptr, CREATE_NEW, 0,
                          nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS) << "the same name in another case";

    // A new name is created as written, inside the folders that matched.
    HANDLE h = CreateFileW(u"T:\\lockbin\\sub\\New.TXT", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(std::filesystem::exists(host("Lockbin/Sub/New.TXT")));
    EXPECT_TRUE(CreateDirectoryW(u"T:\\LOCKBIN\\Deeper", nullptr));
    EXPECT_TRUE(std::filesystem::is_directory(host("Lockbin/Deeper")));

    // Beyond ASCII, by the kernel layer's fold: the same host file as the service opens.
    std::filesystem::create_directories(volume_ + "/Äb");
    spit(host("Äb/Été.lkb"), "e");
    h = CreateFileW(u"T:\\äB\\éTÉ.LKB", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    spit(host("Idx"), "i");
    EXPECT_EQ(GetFileAttributesW(u"T:\\ıdx"), INVALID_FILE_ATTRIBUTES) << "dotless i is not I";

    // A lone surrogate keeps its 3-byte form on the host, as in the kernel layer.
    const std::u16string lone = u"T:\\s" + std::u16string(1, char16_t(0xD800)) + u".bin";
    h = CreateFileW(lone.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(std::filesystem::exists(host("s\xED\xA0\x80.bin")));
}

TEST(LocalTime, FieldsAreInRange)
{
    SYSTEMTIME st{};
    GetLocalTime(&st);
    EXPECT_GE(st.wYear, 2024);
    EXPECT_GE(st.wMonth, 1);
    EXPECT_LE(st.wMonth, 12);
    EXPECT_LE(st.wDayOfWeek, 6);
    EXPECT_LE(st.wMilliseconds, 999);
    WCHAR dir[4];
    EXPECT_EQ(GetWindowsDirectoryW(dir, 4), 11u) << "size needed, NUL included";
    WCHAR full[MAX_PATH];
    ASSERT_EQ(GetWindowsDirectoryW(full, MAX_PATH), 10u);
    EXPECT_EQ(std::u16string(full), u"C:\\Windows");
}

} // namespace
