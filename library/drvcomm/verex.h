// The operating system's version, read once by SupportEx_Initialize and read-only afterwards.
#pragma once

#include <ntifs.h>

typedef struct _VEREX_VERSION {
    ULONG Major;
    ULONG Minor;
} VEREX_VERSION;

// RtlGetVersion when the kernel exports it, else PsGetVersion; 0.0 when the call fails.
VOID VerEx_Initialize();
VEREX_VERSION VerEx_GetVersion();

// True exactly for version 6.0.
BOOLEAN SupportEx_IsWindows60();
