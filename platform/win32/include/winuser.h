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
