#include "sysinfoapi.h"
#include "errhandlingapi.h"
#include "winerror.h"

#include <string.h>
#include <time.h>

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation)
{
    if (lpVersionInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const DWORD size = lpVersionInformation->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOW) && size != sizeof(OSVERSIONINFOEXW)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // Built whole and copied by size, so a basic record never sees the extended fields.
    OSVERSIONINFOEXW info;
    memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = size;
    info.dwMajorVersion = 6;
    info.dwMinorVersion = 2;
    info.dwBuildNumber = 9200;
    info.dwPlatformId = VER_PLATFORM_WIN32_NT;
    info.wSuiteMask = VER_SUITE_SINGLEUSERTS;
    info.wProductType = VER_NT_WORKSTATION;
    memcpy(lpVersionInformation, &info, size);
    return TRUE;
}

DWORD WINAPI GetTickCount(VOID)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}
