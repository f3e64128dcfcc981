// Window messages: only the broadcast of device changes. There are no windows on this host; a
// broadcast is recorded for tests (notify_record.h) and succeeds, a message to a window handle
// fails with ERROR_INVALID_WINDOW_HANDLE.
#pragma once

#include "windef.h"

typedef DWORD_PTR* PDWORD_PTR;

#define HWND_BROADCAST ((HWND)0xffff)

#define WM_DEVICECHANGE 0x0219

#define SMTO_NORMAL 0x0000
#define SMTO_BLOCK 0x0001
#define SMTO_ABORTIFHUNG 0x0002
#define SMTO_NOTIMEOUTIFNOTHUNG 0x0008

LRESULT WINAPI SendMessageTimeoutW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                   UINT uTimeout, PDWORD_PTR lpdwResult);

// Message-box buttons, icons and results, and show commands, as the platform numbers them. The
// boxes themselves are the manager's dialog framework (Qt); only the numbers live here.
#define MB_OK 0x00000000L
#define MB_OKCANCEL 0x00000001L
#define MB_YESNO 0x00000004L
#define MB_TYPEMASK 0x0000000FL
#define MB_ICONHAND 0x00000010L
#define MB_ICONERROR MB_ICONHAND
#define MB_ICONSTOP MB_ICONHAND
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONEXCLAMATION 0x00000030L
#define MB_ICONWARNING MB_ICONEXCLAMATION
#define MB_ICONASTERISK 0x00000040L
#define MB_ICONINFORMATION MB_ICONASTERISK
#define MB_ICONMASK 0x000000F0L

#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

// Top-level windows of the user's session. There is no window system of the platform's here:
// a program publishes each top-level window it wants found under its title (the layer's own
// LockbinPublishWindow), and FindWindowW asks every running program of the session, over a
// socket in the session folder, for a published window of that title. SetForegroundWindow asks
// the owning program to raise the window: `raise` runs on that program's listener thread, and
// the program brings the window to the front on its own user-interface thread.
typedef void (*LOCKBIN_RAISE_PROC)(void* context);
HWND WINAPI LockbinPublishWindow(LPCWSTR lpWindowName, LOCKBIN_RAISE_PROC raise, void* context);
BOOL WINAPI LockbinWithdrawWindow(HWND hWnd);

// The first published window with exactly that title (this process's first, then the others'),
// or NULL. Only a null class name matches: published windows have no class.
HWND WINAPI FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName);
// FALSE, with ERROR_INVALID_WINDOW_HANDLE, when the window is no longer published.
BOOL WINAPI SetForegroundWindow(HWND hWnd);
