#include "common/os_version.h"

#include <gtest/gtest.h>

#include <string.h>
#include <vector>

namespace {

TEST(OsVersionInfo, IsCapturedAtStartWithTheExtendedRecord)
{
    EXPECT_EQ(OsVersionInfo.dwOSVersionInfoSize, sizeof(OSVERSIONINFOEXW));
    EXPECT_EQ(OsVersionInfo.dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(OsVersionInfo.dwMajorVersion, 6u);
    EXPECT_EQ(OsVersionInfo.dwMinorVersion, 2u);
    EXPECT_EQ(OsVersionInfo.wProductType, VER_NT_WORKSTATION);
    // 6.2 is what an unmanifested program sees: both checks that other code relies on pass.
    EXPECT_TRUE(IsVistaOrLater());
    EXPECT_TRUE(IsWin81OrEarlier());
}

// A scripted platform: each call answers with the next entry, and the sizes asked are kept.
struct fake_platform {
    struct answer {
        BOOL ok;
        DWORD platform, major, minor;
    };
    std::vector<answer> answers;
    std::vector<DWORD> sizes_asked;
};
fake_platform* current = nullptr;

BOOL WINAPI fake_get_version(LPOSVERSIONINFOW info)
{
    current->sizes_asked.push_back(info->dwOSVersionInfoSize);
    const auto a = current->answers.at(current->sizes_asked.size() - 1);
    if (a.ok) {
        info->dwPlatformId = a.platform;
        info->dwMajorVersion = a.major;
        info->dwMinorVersion = a.minor;
    } else {
        info->dwMajorVersion = 99; // garbage a failing call might leave
    }
    return a.ok;
}

OSVERSIONINFOEXW capture(fake_platform& platform)
{
    current = &platform;
    OSVERSIONINFOEXW info;
    memset(&info, 0x5a, sizeof(info));
    detail::capture_os_version(info, fake_get_version);
    current = nullptr;
    return info;
}

bool all_zero(const OSVERSIONINFOEXW& info)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
    for (size_t i = 0; i < sizeof(info); ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST(CaptureOsVersion, AsksForTheExtendedRecordOnlyOnNt5AndLater)
{
    fake_platform nt6{{{TRUE, 2, 6, 1}, {TRUE, 2, 6, 1}}, {}};
    const auto info = capture(nt6);
    EXPECT_EQ(nt6.sizes_asked, (std::vector<DWORD>{276, 284}));
    EXPECT_EQ(info.dwMinorVersion, 1u);

    fake_platform nt4{{{TRUE, 2, 4, 0}}, {}};
    EXPECT_EQ(capture(nt4).dwMajorVersion, 4u);
    EXPECT_EQ(nt4.sizes_asked, (std::vector<DWORD>{276}));

    fake_platform win9x{{{TRUE, 1, 4, 90}}, {}};
    EXPECT_EQ(capture(win9x).dwMinorVersion, 90u);
    EXPECT_EQ(win9x.sizes_asked, (std::vector<DWORD>{276}));
}

TEST(CaptureOsVersion, AFailedCallLeavesZerosAndBothPredicatesFalse)
{
    fake_platform first_fails{{{FALSE, 0, 0, 0}}, {}};
    const auto a = capture(first_fails);
    EXPECT_TRUE(all_zero(a));
    EXPECT_FALSE(IsVistaOrLater(a));
    EXPECT_FALSE(IsWin81OrEarlier(a));

    fake_platform second_fails{{{TRUE, 2, 6, 1}, {FALSE, 0, 0, 0}}, {}};
    const auto b = capture(second_fails);
    EXPECT_TRUE(all_zero(b));
    EXPECT_FALSE(IsWin81OrEarlier(b));
}

TEST(VersionPredicates, FollowPlatformAndVersion)
{
    struct row {
        DWORD platform, major, minor;
        bool vista_or_later, win81_or_earlier;
    };
    const row rows[] = {
        {2, 5, 1, false, true},  // XP
        {2, 6, 0, true, true},   // Vista
        {2, 6, 3, true, true},   // 8.1 with a manifest
        {2, 6, 4, true, false},  // a 6.4 preview
        {2, 10, 0, true, false}, // 10 with a manifest
        {1, 6, 0, false, false}, // not NT
        {0, 0, 0, false, false}, // nothing captured
    };
    for (const auto& r : rows) {
        OSVERSIONINFOEXW info{};
        info.dwPlatformId = r.platform;
        info.dwMajorVersion = r.major;
        info.dwMinorVersion = r.minor;
        EXPECT_EQ(IsVistaOrLater(info), r.vista_or_later)
            << r.platform << ' ' << r.major << '.' << r.minor;
        EXPECT_EQ(IsWin81OrEarlier(info), r.win81_or_earlier)
            << r.platform << ' ' << r.major << '.' << r.minor;
    }
}

} // namespace
