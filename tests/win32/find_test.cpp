#include "test_root.h"

#include "windows.h"

#include "find.h"

#include <fstream>
#include <set>

namespace {

class Search : public TestRoot {
protected:
    std::vector<std::u16string> names(const char16_t* pattern, DWORD* error = nullptr)
    {
        std::vector<std::u16string> out;
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW(pattern, &fd);
        if (h == INVALID_HANDLE_VALUE) {
            if (error)
                *error = GetLastError();
            return out;
        }
        do
            out.push_back(fd.cFileName);
        while (FindNextFileW(h, &fd));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
        EXPECT_TRUE(FindClose(h));
        return out;
    }
};

TEST_F(Search, WildcardsDotsAndSingleEntries)
{
    std::filesystem::create_directories(volume_ + "/dir/sub");
    std::ofstream(volume_ + "/dir/Vault1.LKB") << "12345";
    std::ofstream(volume_ + "/dir/vault2.lkb") << "";
    std::ofstream(volume_ + "/dir/notes.txt") << "";

    auto all = names(u"T:\\dir\\*");
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[0], u".");
    EXPECT_EQ(all[1], u"..");
    EXPECT_EQ(std::set<std::u16string>(all.begin() + 2, all.end()),
              (std::set<std::u16string>{u"sub", u"Vault1.LKB", u"vault2.lkb", u"notes.txt"}));
    EXPECT_EQ(names(u"T:\\dir\\*.*").size(), all.size()) << "*.* matches every name";

    auto lkb = names(u"T:\\dir\\*.lkb");
    EXPECT_EQ(std::set<std::u16string>(lkb.begin(), lkb.end()),
              (std::set<std::u16string>{u"Vault1.LKB", u"vault2.lkb"}))
        << "matched without regard to case";
    EXPECT_EQ(names(u"T:\\dir\\vault?.lkb").size(), 2u);
    EXPECT_EQ(names(u"T:\\dir\\v*2*").size(), 1u);

    auto root = names(u"T:\\*");
    EXPECT_TRUE(std::find(root.begin(), root.end(), u".") == root.end())
        << "a drive's root lists no dots";

    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(u"T:\\DIR\\vault1.lkb", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(fd.cFileName), u"Vault1.LKB") << "the name as the folder spells it";
    EXPECT_EQ(fd.nFileSizeLow, 5u);
    EXPECT_EQ(fd.dwFileAttributes, DWORD(FILE_ATTRIBUTE_NORMAL));
    EXPECT_FALSE(FindNextFileW(h, &fd));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_FILES));
    EXPECT_FALSE(CloseHandle(h)) << "a search closes with FindClose only";
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(FindClose(h));
    EXPECT_FALSE(FindClose(h));
}

TEST_F(Search, FailuresAsWindowsReportsThem)
{
    std::filesystem::create_directories(volume_ + "/dir");
    DWORD error = 0;
    EXPECT_TRUE(names(u"T:\\dir\\", &error).empty());
    EXPECT_EQ(error, DWORD(ERROR_FILE_NOT_FOUND)) << "a trailing separator";
    EXPECT_TRUE(names(u"T:\\dir\\*.none", &error).empty());
    EXPECT_EQ(error, DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(names(u"T:\\dir\\absent", &error).empty());
    EXPECT_EQ(error, DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(names(u"T:\\nodir\\*", &error).empty());
    EXPECT_EQ(error, DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_TRUE(names(u"T:\\di*\\x", &error).empty());
    EXPECT_EQ(error, DWORD(ERROR_INVALID_NAME)) << "wildcards only in the last component";
    EXPECT_TRUE(names(u"Q:\\*", &error).empty());
    EXPECT_EQ(error, DWORD(ERROR_PATH_NOT_FOUND));
    WIN32_FIND_DATAW fd;
    EXPECT_FALSE(FindNextFileW(INVALID_HANDLE_VALUE, &fd));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(WildcardMatch, WindowsRules)
{
    using win32::detail::wildcard_match;
    EXPECT_TRUE(wildcard_match(u"*", u""));
    EXPECT_TRUE(wildcard_match(u"*.*", u"noext"));
    EXPECT_TRUE(wildcard_match(u"a*b*c", u"aXXbYYc"));
    EXPECT_FALSE(wildcard_match(u"a*b*c", u"aXXbYY"));
    EXPECT_TRUE(wildcard_match(u"??.TXT", u"ab.txt"));
    EXPECT_FALSE(wildcard_match(u"??.txt", u"abc.txt"));
    EXPECT_FALSE(wildcard_match(u"*.lkb", u"x.lkbkey"));
}

} // namespace
