#include <windows.h>

#include <gtest/gtest.h>

#include <string.h>
#include <thread>
#include <time.h>

namespace {

TEST(GetVersionExW, AcceptsOnlyTheTwoRecordSizes)
{
    for (DWORD size : {0u, 1u, 148u, 156u, 275u, 277u, 283u, 285u, 0xffffffffu}) {
        unsigned char buffer[512];
        memset(buffer, 0xcc, sizeof(buffer));
        memcpy(buffer, &size, sizeof(size));
        SetLastError(0);
        EXPECT_FALSE(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(buffer))) << size;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
        for (size_t i = sizeof(size); i < sizeof(buffer); ++i) {
            ASSERT_EQ(buffer[i], 0xcc) << "byte " << i << " written for size " << size;
        }
    }
    SetLastError(0);
    EXPECT_FALSE(GetVersionExW(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(GetVersionExW, BasicRecordReportsNt62AndWritesNothingBeyondIt)
{
    unsigned char buffer[sizeof(OSVERSIONINFOEXW) + 16];
    memset(buffer, 0xcc, sizeof(buffer));
    auto* info = reinterpret_cast<OSVERSIONINFOW*>(buffer);
    info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    SetLastError(1234);
    ASSERT_TRUE(GetVersionExW(info));
    EXPECT_EQ(GetLastError(), 1234u) << "success must leave last error alone";
    EXPECT_EQ(info->dwOSVersionInfoSize, 276u);
    EXPECT_EQ(info->dwMajorVersion, 6u);
    EXPECT_EQ(info->dwMinorVersion, 2u);
    EXPECT_EQ(info->dwBuildNumber, 9200u);
    EXPECT_EQ(info->dwPlatformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(info->szCSDVersion[0], 0);
    for (size_t i = sizeof(OSVERSIONINFOW); i < sizeof(buffer); ++i) {
        ASSERT_EQ(buffer[i], 0xcc) << "byte " << i;
    }
}

TEST(GetVersionExW, ExtendedRecordReportsAWorkstationWithoutServicePack)
{
    OSVERSIONINFOEXW info;
    memset(&info, 0xcc, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&info)));
    EXPECT_EQ(info.dwMajorVersion * 100 + info.dwMinorVersion, 602u);
    EXPECT_EQ(info.wServicePackMajor + info.wServicePackMinor + info.wReserved, 0);
    EXPECT_EQ(info.wProductType, VER_NT_WORKSTATION);
    EXPECT_EQ(info.szCSDVersion[127], 0);
}

TEST(LastError, IsPerThread)
{
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seen_in_thread = 0xffffffff;
    std::thread other([&] {
        seen_in_thread = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
    });
    other.join();
    EXPECT_EQ(seen_in_thread, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

uint64_t monotonic_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

TEST(GetTickCount, FollowsTheMonotonicClockModulo32Bits)
{
    const DWORD before = static_cast<DWORD>(monotonic_ms());
    const DWORD tick = GetTickCount();
    const DWORD after = static_cast<DWORD>(monotonic_ms());
    // Differences in DWORD arithmetic hold across a wrap too.
    EXPECT_LE(static_cast<DWORD>(tick - before), static_cast<DWORD>(after - before));
}

TEST(GetTickCount, NeverGoesBackAndAdvancesWithTime)
{
    const DWORD start = GetTickCount();
    DWORD previous = start;
    for (int i = 0; i < 100000; ++i) {
        const DWORD now = GetTickCount();
        ASSERT_LE(static_cast<DWORD>(now - start), 0x7fffffffu);
        ASSERT_GE(static_cast<DWORD>(now - start), static_cast<DWORD>(previous - start));
        previous = now;
    }
    const DWORD before_sleep = GetTickCount();
    struct timespec pause = {0, 30 * 1000000};
    nanosleep(&pause, nullptr);
    EXPECT_GE(static_cast<DWORD>(GetTickCount() - before_sleep), 30u);
}

} // namespace
