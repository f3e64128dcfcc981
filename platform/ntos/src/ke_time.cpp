// System time (100 ns ticks since 1601-01-01 UTC), local time, time fields, tick counts, the
// version the layer reports and the routines exported by name.
#include "ps_internal.h"

#include <cstring>
#include <ctime>

namespace {

constexpr LONGLONG ticks_per_second = 10'000'000;
constexpr LONGLONG unix_epoch_ticks = 116'444'736'000'000'000LL; // 1970-01-01 in 1601 ticks
constexpr ULONG time_increment = 156'250;                        // 15.625 ms, the platform's tick

LONGLONG local_offset_ticks(LONGLONG system_ticks)
{
    time_t seconds = static_cast<time_t>((system_ticks - unix_epoch_ticks) / ticks_per_second);
    struct tm local {};
    if (!localtime_r(&seconds, &local))
        return 0;
    return static_cast<LONGLONG>(local.tm_gmtoff) * ticks_per_second;
}

bool is_leap(LONG year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

constexpr int month_days[2][12] = {{31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
                                   {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31}};

} // namespace

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    if (!CurrentTime)
        return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    CurrentTime->QuadPart =
        unix_epoch_ticks + static_cast<LONGLONG>(now.tv_sec) * ticks_per_second + now.tv_nsec / 100;
}

VOID ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime)
{
    if (!SystemTime || !LocalTime)
        return;
    LocalTime->QuadPart = SystemTime->QuadPart + local_offset_ticks(SystemTime->QuadPart);
}

VOID ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime)
{
    if (!SystemTime || !LocalTime)
        return;
    SystemTime->QuadPart = LocalTime->QuadPart - local_offset_ticks(LocalTime->QuadPart);
}

VOID RtlTimeToTimeFields(PLARGE_INTEGER Time, PTIME_FIELDS TimeFields)
{
    if (!Time || !TimeFields)
        return;
    LONGLONG ticks = Time->QuadPart < 0 ? 0 : Time->QuadPart;
    LONGLONG days = ticks / (ticks_per_second * 86400);
    LONGLONG rest = ticks % (ticks_per_second * 86400);
    TimeFields->Milliseconds = static_cast<CSHORT>((rest / 10'000) % 1000);
    LONGLONG seconds = rest / ticks_per_second;
    TimeFields->Second = static_cast<CSHORT>(seconds % 60);
    TimeFields->Minute = static_cast<CSHORT>((seconds / 60) % 60);
    TimeFields->Hour = static_cast<CSHORT>(seconds / 3600);
    TimeFields->Weekday = static_cast<CSHORT>((days + 1) % 7); // 1601-01-01 was a Monday
    LONG year = 1601;
    while (true) {
        int length = is_leap(year) ? 366 : 365;
        if (days < length)
            break;
        days -= length;
        ++year;
    }
    int month = 0;
    while (days >= month_days[is_leap(year)][month])
        days -= month_days[is_leap(year)][month++];
    TimeFields->Year = static_cast<CSHORT>(year);
    TimeFields->Month = static_cast<CSHORT>(month + 1);
    TimeFields->Day = static_cast<CSHORT>(days + 1);
}

BOOLEAN RtlTimeFieldsToTime(PTIME_FIELDS TimeFields, PLARGE_INTEGER Time)
{
    if (!TimeFields || !Time)
        return FALSE;
    const TIME_FIELDS& f = *TimeFields;
    if (f.Year < 1601 || f.Month < 1 || f.Month > 12 || f.Day < 1 ||
        f.Day > month_days[is_leap(f.Year)][f.Month - 1] || f.Hour < 0 || f.Hour > 23 ||
        f.Minute < 0 || f.Minute > 59 || f.Second < 0 || f.Second > 59 || f.Milliseconds < 0 ||
        f.Milliseconds > 999)
        return FALSE;
    LONGLONG days = 0;
    for (LONG y = 1601; y < f.Year; ++y)
        days += is_leap(y) ? 366 : 365;
    for (int m = 0; m < f.Month - 1; ++m)
        days += month_days[is_leap(f.Year)][m];
    days += f.Day - 1;
    LONGLONG seconds = ((days * 24 + f.Hour) * 60 + f.Minute) * 60 + f.Second;
    Time->QuadPart = seconds * ticks_per_second + LONGLONG{f.Milliseconds} * 10'000;
    return TRUE;
}

ULONGLONG KeQueryInterruptTime()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<ULONGLONG>(now.tv_sec) * ticks_per_second + now.tv_nsec / 100;
}

VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount)
{
    if (CurrentCount)
        CurrentCount->QuadPart = static_cast<LONGLONG>(KeQueryInterruptTime() / time_increment);
}

ULONG KeQueryTimeIncrement()
{
    return time_increment;
}

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation)
{
    if (!lpVersionInformation)
        return STATUS_INVALID_PARAMETER;
    ULONG size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(RTL_OSVERSIONINFOEXW))
        return STATUS_INVALID_PARAMETER;
    lpVersionInformation->dwMajorVersion = 6;
    lpVersionInformation->dwMinorVersion = 2;
    lpVersionInformation->dwBuildNumber = 9200;
    lpVersionInformation->dwPlatformId = 2; // VER_PLATFORM_WIN32_NT
    memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
    if (size == sizeof(RTL_OSVERSIONINFOEXW)) {
        auto* ex = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(lpVersionInformation);
        ex->wServicePackMajor = ex->wServicePackMinor = 0;
        ex->wSuiteMask = 0;
        ex->wProductType = 1; // VER_NT_WORKSTATION
        ex->wReserved = 0;
    }
    return STATUS_SUCCESS;
}

BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                     PUNICODE_STRING CSDVersion)
{
    if (MajorVersion)
        *MajorVersion = 6;
    if (MinorVersion)
        *MinorVersion = 2;
    if (BuildNumber)
        *BuildNumber = 9200;
    if (CSDVersion)
        CSDVersion->Length = 0;
    return FALSE; // a free build
}

PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    struct exported {
        const char16_t* name;
        PVOID address;
    };
    static const exported table[] = {
        {u"RtlGetVersion", reinterpret_cast<PVOID>(&RtlGetVersion)},
        {u"PsGetVersion", reinterpret_cast<PVOID>(&PsGetVersion)},
        {u"KeQuerySystemTime", reinterpret_cast<PVOID>(&KeQuerySystemTime)},
        {u"ExAllocatePoolWithTag", reinterpret_cast<PVOID>(&ExAllocatePoolWithTag)},
        {u"ExFreePoolWithTag", reinterpret_cast<PVOID>(&ExFreePoolWithTag)},
        {u"DbgPrint", reinterpret_cast<PVOID>(&DbgPrint)},
    };
    if (!SystemRoutineName || !SystemRoutineName->Buffer)
        return nullptr;
    for (const exported& entry : table) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, entry.name);
        // Export names are case-sensitive.
        if (RtlEqualUnicodeString(&name, SystemRoutineName, FALSE))
            return entry.address;
    }
    return nullptr;
}
