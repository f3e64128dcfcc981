// Runtime library: safe strings, the platform's printf rules, counted strings and time.
#include <ntifs.h>
#include <ntos_layer.h>
#include <ntstrsafe.h>

#include "dbg_rate.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

namespace {

TEST(RtlStringSafe, CopyCutsTerminatesAndReportsOverflow)
{
    WCHAR buffer[6];
    EXPECT_EQ(RtlStringCchCopyW(buffer, 6, u"hello"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"hello");
    EXPECT_EQ(RtlStringCchCopyW(buffer, 6, u"hello world"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer), u"hello");
    EXPECT_EQ(RtlStringCchCopyW(buffer, 1, u"x"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(buffer[0], 0);

    buffer[0] = u'k';
    EXPECT_EQ(RtlStringCchCopyW(buffer, 0, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], u'k'); // a zero capacity writes nothing
    EXPECT_EQ(RtlStringCchCopyW(buffer, size_t{0x80000000}, u"x"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlStringCchCopyW(nullptr, 6, u"x"), STATUS_INVALID_PARAMETER);

    // CopyN stops at the count or the terminator, whichever comes first.
    EXPECT_EQ(RtlStringCchCopyNW(buffer, 6, u"abcdef", 3), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"abc");
    EXPECT_EQ(RtlStringCchCopyNW(buffer, 6, u"ab", 5), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"ab");
    EXPECT_EQ(RtlStringCchCopyNW(buffer, 3, u"abcdef", 5), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer), u"ab");
}

TEST(RtlStringSafe, CatAppendsWithinTheWholeCapacity)
{
    WCHAR buffer[8] = u"abc";
    EXPECT_EQ(RtlStringCchCatW(buffer, 8, u"de"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"abcde");
    EXPECT_EQ(RtlStringCchCatW(buffer, 8, u"fghij"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(buffer), u"abcdefg");
    // A destination with no terminator inside its capacity is refused, untouched.
    WCHAR full[3] = {u'x', u'y', u'z'};
    EXPECT_EQ(RtlStringCchCatW(full, 3, u"a"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(full[2], u'z');
    size_t length = 99;
    EXPECT_EQ(RtlStringCchLengthW(buffer, 8, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 7u);
    EXPECT_EQ(RtlStringCchLengthW(full, 3, &length), STATUS_INVALID_PARAMETER);
}

TEST(RtlFormat, WideAndNarrowArgumentsFollowThePlatformRules)
{
    WCHAR out[128];
    UNICODE_STRING us;
    RtlInitUnicodeString(&us, u"\\Device\\X");
    ASSERT_EQ(RtlStringCchPrintfW(out, 128, u"%s|%ws|%S|%hs|%wZ|%c|%C", u"wide", u"ws", "narrow",
                                  "hs", &us, u'W', 'n'),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), u"wide|ws|narrow|hs|\\Device\\X|W|n");

    char narrow[128];
    ASSERT_EQ(
        RtlStringCchPrintfA(narrow, 128, "%s|%ws|%S|%wZ|%c|%wc", "n", u"w", u"S", &us, 'c', u'C'),
        STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "n|w|S|\\Device\\X|c|C");
    // Non-ASCII wide text becomes UTF-8 in narrow output.
    ASSERT_EQ(RtlStringCchPrintfA(narrow, 128, "%ws", u"保险箱"), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "保险箱");
    ASSERT_EQ(RtlStringCchPrintfA(narrow, 128, "[%ws][%wZ]", nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "[(null)][(null)]");
}

TEST(RtlFormat, IntegerSizesAreThePlatformsNotTheHosts)
{
    char out[128];
    // %ld and %lx read 32 bits (LONG is 32-bit); the next argument must not be swallowed.
    ASSERT_EQ(RtlStringCchPrintfA(out, 128, "%ld %lx %d", LONG(-5), ULONG(0xFFFFFFFF), 7),
              STATUS_SUCCESS);
    EXPECT_STREQ(out, "-5 ffffffff 7");
    ASSERT_EQ(RtlStringCchPrintfA(out, 128, "%I64x %I64d %llu %Iu", ULONGLONG(0x123456789AB),
                                  LONGLONG(-1), ULONGLONG(1) << 40, SIZE_T(3)),
              STATUS_SUCCESS);
    EXPECT_STREQ(out, "123456789ab -1 1099511627776 3");
    ASSERT_EQ(RtlStringCchPrintfA(out, 128, "0x%08x|%02d:%03d|%-4d|%+d|%hd", 0xC0000010, 5, 7, 3, 4,
                                  70000),
              STATUS_SUCCESS);
    EXPECT_STREQ(out, "0xc0000010|05:007|3   |+4|4464");
    ASSERT_EQ(RtlStringCchPrintfA(out, 128, "%p", reinterpret_cast<void*>(0xABC)), STATUS_SUCCESS);
    EXPECT_STREQ(out, "0000000000000ABC");
}

TEST(RtlFormat, PrintfCutsToTheCapacity)
{
    WCHAR out[5];
    EXPECT_EQ(RtlStringCchPrintfW(out, 5, u"%d-%d", 1234, 5678), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(out), u"1234");
    EXPECT_EQ(RtlStringCbPrintfW(out, sizeof(out), u"%s", u"ok"), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), u"ok");
    EXPECT_EQ(RtlStringCchPrintfW(out, 0, u"x"), STATUS_INVALID_PARAMETER);
}

std::string captured;

TEST(RtlFormat, DbgPrintWritesOneLineEach)
{
    captured.clear();
    ntos::set_debug_output([](const std::string& line) { captured += line; });
    DbgPrint("%ws\r\n", u"[redav] message");
    DbgPrint("no newline %d", 1);
    DbgPrint("two\nlines\n");
    ntos::set_debug_output(nullptr);
    EXPECT_EQ(captured, "[redav] message\nno newline 1\ntwo lines\n");
}

// A burst passes, then lines are dropped until time refills the bucket; the first line printed
// afterwards carries the count of those dropped.
TEST(RtlFormat, DbgPrintRateLimitDropsBeyondItsBurstAndCountsWhatItDropped)
{
    ntos::detail::dbg_rate_limit limit(10, 3); // 3 lines at once, then one every 100 ms
    uint64_t dropped = 99;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(limit.admit(1000, &dropped)) << i;
        EXPECT_EQ(dropped, 0u);
    }
    EXPECT_FALSE(limit.admit(1000, &dropped));
    EXPECT_FALSE(limit.admit(1099, &dropped));
    ASSERT_TRUE(limit.admit(1100, &dropped));
    EXPECT_EQ(dropped, 2u);
    // A long pause refills no more than the burst; a clock that steps back refills nothing.
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(limit.admit(60000, &dropped)) << i;
    EXPECT_FALSE(limit.admit(60000, &dropped));
    EXPECT_FALSE(limit.admit(50000, &dropped));
    ntos::detail::dbg_rate_limit open(0, 0);
    for (int i = 0; i < 1000; ++i)
        ASSERT_TRUE(open.admit(5, &dropped));
}

TEST(RtlUnicode, CountedStringsCompareCopyAndAppendWithinTheirCapacity)
{
    UNICODE_STRING a, b;
    RtlInitUnicodeString(&a, u"\\Device\\HarddiskDmVolumes\\X");
    RtlInitUnicodeString(&b, u"\\device\\harddiskdmvolumes");
    EXPECT_EQ(a.Length, 27 * 2);
    EXPECT_EQ(a.MaximumLength, 28 * 2);
    EXPECT_TRUE(RtlPrefixUnicodeString(&b, &a, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&b, &a, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_LT(RtlCompareUnicodeString(&b, &a, TRUE), 0);
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'z'), u'Z');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'é'), u'É');
    EXPECT_EQ(RtlUpcaseUnicodeChar(u'1'), u'1');

    WCHAR storage[8];
    UNICODE_STRING dest{0, sizeof(storage), storage};
    RtlCopyUnicodeString(&dest, &a); // cut to the capacity
    EXPECT_EQ(dest.Length, sizeof(storage));
    EXPECT_EQ(std::u16string(storage, 8), u"\\Device\\");
    dest.Length = 0;
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"abc"), STATUS_SUCCESS);
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"defghi"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(dest.Length, 6); // nothing appended on failure
    UNICODE_STRING tail;
    RtlInitUnicodeString(&tail, u"de");
    EXPECT_EQ(RtlAppendUnicodeStringToString(&dest, &tail), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(storage, dest.Length / 2), u"abcde");
    EXPECT_EQ(storage[5], 0);
}

TEST(RtlUnicode, IntegerConversions)
{
    ULONG value = 0;
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, u"  0x1F");
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 31u);
    RtlInitUnicodeString(&text, u"-12x");
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, ULONG(-12));
    EXPECT_EQ(RtlUnicodeStringToInteger(&text, 7, &value), STATUS_INVALID_PARAMETER);
    WCHAR storage[3];
    UNICODE_STRING out{0, sizeof(storage), storage};
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &out), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(storage, out.Length / 2), u"FF");
    EXPECT_EQ(RtlIntegerToUnicodeString(1000, 10, &out), STATUS_BUFFER_OVERFLOW);
}

TEST(RtlTime, SystemTimeCountsFrom1601AndSplitsIntoFields)
{
    // 2000-02-29 12:34:56.789 UTC, a leap day, known to be a Tuesday.
    TIME_FIELDS fields{2000, 2, 29, 12, 34, 56, 789, 0};
    LARGE_INTEGER time;
    ASSERT_TRUE(RtlTimeFieldsToTime(&fields, &time));
    // Unix time 951827696 (date -u -d '2000-02-29 12:34:56' +%s) plus the 1601-1970 offset.
    EXPECT_EQ(time.QuadPart, 951'827'696LL * 10'000'000 + 789 * 10'000 + 116'444'736'000'000'000LL);
    TIME_FIELDS back{};
    RtlTimeToTimeFields(&time, &back);
    EXPECT_EQ(back.Year, 2000);
    EXPECT_EQ(back.Month, 2);
    EXPECT_EQ(back.Day, 29);
    EXPECT_EQ(back.Hour, 12);
    EXPECT_EQ(back.Minute, 34);
    EXPECT_EQ(back.Second, 56);
    EXPECT_EQ(back.Milliseconds, 789);
    EXPECT_EQ(back.Weekday, 2);
    fields.Day = 30;
    EXPECT_FALSE(RtlTimeFieldsToTime(&fields, &time));

    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    TIME_FIELDS today{};
    RtlTimeToTimeFields(&now, &today);
    EXPECT_GE(today.Year, 2024);
    EXPECT_GT(KeQueryTimeIncrement(), 0u);
}

TEST(RtlTime, LocalTimeFollowsTheHostZone)
{
    // POSIX zone text: "XYZ-8" is eight hours east of UTC (local = UTC + 8 h).
    const char* saved = std::getenv("TZ");
    std::string old = saved ? saved : "";
    setenv("TZ", "XYZ-8", 1);
    tzset();
    TIME_FIELDS noon{2024, 6, 1, 12, 0, 0, 0, 0};
    LARGE_INTEGER system, local, back;
    ASSERT_TRUE(RtlTimeFieldsToTime(&noon, &system));
    ExSystemTimeToLocalTime(&system, &local);
    ExLocalTimeToSystemTime(&local, &back);
    if (saved)
        setenv("TZ", old.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    TIME_FIELDS fields{};
    RtlTimeToTimeFields(&local, &fields);
    EXPECT_EQ(fields.Hour, 20);
    EXPECT_EQ(back.QuadPart, system.QuadPart);
}

TEST(RtlVersion, ReportsSixTwoThroughBothRoutinesAndByName)
{
    RTL_OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"RtlGetVersion");
    auto get_version =
        reinterpret_cast<NTSTATUS (*)(PRTL_OSVERSIONINFOW)>(MmGetSystemRoutineAddress(&name));
    ASSERT_NE(get_version, nullptr);
    ASSERT_EQ(get_version(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)), STATUS_SUCCESS);
    EXPECT_EQ(info.dwMajorVersion, 6u);
    EXPECT_EQ(info.dwMinorVersion, 2u);
    info.dwOSVersionInfoSize = 100;
    EXPECT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)),
              STATUS_INVALID_PARAMETER);
    ULONG major = 0, minor = 0;
    PsGetVersion(&major, &minor, nullptr, nullptr);
    EXPECT_EQ(major, 6u);
    EXPECT_EQ(minor, 2u);
    RtlInitUnicodeString(&name, u"NoSuchRoutine");
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr);
}

} // namespace
