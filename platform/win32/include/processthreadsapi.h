// The calling process.
#pragma once

#include "windef.h"

// The pseudo handle of the calling process, (HANDLE)-1; it needs no closing.
HANDLE WINAPI GetCurrentProcess(VOID);

// How many handles the process has open. Only the calling process can be asked; another
// handle fails with ERROR_INVALID_HANDLE, a null count with ERROR_INVALID_PARAMETER.
BOOL WINAPI GetProcessHandleCount(HANDLE hProcess, PDWORD pdwHandleCount);
