// Operating-system version and tick count.
#pragma once

#include "windef.h"

#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2

#define VER_NT_WORKSTATION 0x0000001
#define VER_NT_DOMAIN_CONTROLLER 0x0000002
#define VER_NT_SERVER 0x0000003

#define VER_SUITE_SINGLEUSERTS 0x00000100

typedef struct _OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW;

typedef struct _OSVERSIONINFOEXW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    WCHAR szCSDVersion[128];
    WORD wServicePackMajor;
    WORD wServicePackMinor;
    WORD wSuiteMask;
    BYTE wProductType;
    BYTE wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, *LPOSVERSIONINFOEXW;

static_assert(sizeof(OSVERSIONINFOW) == 276, "OSVERSIONINFOW layout");
static_assert(sizeof(OSVERSIONINFOEXW) == 284, "OSVERSIONINFOEXW layout");
static_assert(offsetof(OSVERSIONINFOEXW, szCSDVersion) == 20, "OSVERSIONINFOEXW layout");
static_assert(offsetof(OSVERSIONINFOEXW, wServicePackMajor) == 276, "OSVERSIONINFOEXW layout");
static_assert(offsetof(OSVERSIONINFOEXW, wProductType) == 282, "OSVERSIONINFOEXW layout");

// Fills the record with the version this system reports: NT 6.2 build 9200, workstation, no
// service pack, which is what Windows reports to a program without a compatibility manifest.
// dwOSVersionInfoSize must be sizeof(OSVERSIONINFOW) or sizeof(OSVERSIONINFOEXW) (only the
// basic fields are written for the former); any other size fails with
// ERROR_INSUFFICIENT_BUFFER and leaves the record untouched. A null pointer fails with
// ERROR_INVALID_PARAMETER.
BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW lpVersionInformation);

// Milliseconds since the system started (CLOCK_MONOTONIC), wrapping to 0 after 2^32 - 1.
DWORD WINAPI GetTickCount(VOID);
