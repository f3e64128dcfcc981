// Moving files, local time, the Windows folder.
#pragma once

#include "windef.h"

#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x00000004
#define MOVEFILE_WRITE_THROUGH 0x00000008

// Renames a file or folder. An existing target fails with ERROR_ALREADY_EXISTS unless
// MOVEFILE_REPLACE_EXISTING is given (a folder is never replaced: ERROR_ACCESS_DENIED). Across
// volumes only files move, and only with MOVEFILE_COPY_ALLOWED (else ERROR_NOT_SAME_DEVICE).
// MOVEFILE_WRITE_THROUGH returns after the move reached the medium. Moving at reboot is not
// supported (ERROR_INVALID_PARAMETER).
BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags);

VOID WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);

// "C:\Windows". Returns its length without the NUL, or the size needed including the NUL when
// uSize is too small (nothing is written then).
UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize);

// Global memory, as far as the layer hands out blocks that callers free (proxy settings). Only
// fixed blocks: the handle is the block's address.
typedef HANDLE HGLOBAL;
#define GMEM_FIXED 0x0000
#define GMEM_ZEROINIT 0x0040
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)
// Fails with ERROR_INVALID_PARAMETER for flags other than these, ERROR_NOT_ENOUGH_MEMORY when
// the block cannot be had.
HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
// Null on success, the handle itself on failure.
HGLOBAL WINAPI GlobalFree(HGLOBAL hMem);
