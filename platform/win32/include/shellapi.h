// ShellExecuteW for the two verbs the programs use.
//
// "open" (or a null verb) on a URL ("http:", "mailto:" ...) or a DOS path of a file, folder or
// drive root: the desktop's opener, xdg-open, with the URL or the host path; its exit status is
// the result (an opener still running after a few seconds counts as started).
// "runas" on a program: run it elevated, without waiting for it. As root the program runs
// directly; otherwise through pkexec, and the call returns once pkexec has either started the
// program or given up (refused, dismissed, no authority: ERROR_CANCELLED).
//
// The program or file name resolves as the shell does: a path as given (relative to
// lpDirectory or the current folder), else a bare name in the current folder, the caller's own
// program folder and the PATH. A name ending in ".exe" also finds the host program of that
// name without the extension.
//
// The result is a fake instance handle greater than 32 on success; on failure one of the SE_ERR_
// values (32 or less) with the last error set: SE_ERR_FNF / ERROR_FILE_NOT_FOUND for a missing
// file or program, SE_ERR_PNF for a missing folder, SE_ERR_NOASSOC / ERROR_NO_ASSOCIATION when
// nothing opens it, SE_ERR_ACCESSDENIED / ERROR_CANCELLED when elevation is refused, and
// SE_ERR_ACCESSDENIED / ERROR_ACCESS_DENIED when the program cannot be run.
#pragma once

#include "windef.h"

#include <string>
#include <string_view>
#include <vector>

#define SE_ERR_FNF 2
#define SE_ERR_PNF 3
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_OOM 8
#define SE_ERR_DLLNOTFOUND 32
#define SE_ERR_SHARE 26
#define SE_ERR_ASSOCINCOMPLETE 27
#define SE_ERR_DDETIMEOUT 28
#define SE_ERR_DDEFAIL 29
#define SE_ERR_DDEBUSY 30
#define SE_ERR_NOASSOC 31

HINSTANCE WINAPI ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                               LPCWSTR lpDirectory, INT nShowCmd);

namespace win32 {
// Splits a parameter text as the platform's CommandLineToArgvW splits arguments.
std::vector<std::u16string> SplitCommandLineArguments(std::u16string_view text);
} // namespace win32

// SHGetFileInfoW for what the settings list asks of a drive root: its index in the system's
// small-icon list and its type name, as the Chinese shell names a drive ("本地磁盘",
// "可移动磁盘", "CD 驱动器", "网络驱动器"). With an empty path and SHGFI_SYSICONINDEX: the
// system list's handle. Other paths fail (0).
#define SHGFI_SMALLICON 0x000000001
#define SHGFI_TYPENAME 0x000000400
#define SHGFI_SYSICONINDEX 0x000004000

typedef struct _SHFILEINFOW {
    HANDLE hIcon;
    int iIcon;
    DWORD dwAttributes;
    WCHAR szDisplayName[MAX_PATH];
    WCHAR szTypeName[80];
} SHFILEINFOW;

// The system list's indexes of the drive icons.
#define SHELL_ICON_REMOVABLE 7
#define SHELL_ICON_FIXED 8
#define SHELL_ICON_REMOTE 9
#define SHELL_ICON_CDROM 11

// With SHGFI_SYSICONINDEX the result is the system small-icon list's handle, else nonzero; 0 on
// failure.
DWORD_PTR WINAPI SHGetFileInfoW(LPCWSTR pszPath, DWORD dwFileAttributes, SHFILEINFOW* psfi,
                                UINT cbFileInfo, UINT uFlags);
