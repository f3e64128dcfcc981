// Events, waits and named mutexes, as far as the programs use them.
//
// Named mutexes tell whether another copy runs in the user's session. Each name is one lock file
// in the session folder (session_objects.h); a handle holds a shared lock on it, so the name
// exists exactly while some handle, in any process of the session, is open, and a crashed
// process leaves nothing behind.
#pragma once

#include "windef.h"
#include "minwinbase.h"

#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000UL
#define WAIT_TIMEOUT 0x00000102UL
#define WAIT_FAILED 0xFFFFFFFFUL

// Creates or opens the named mutex. Opening an existing one succeeds with the last error
// ERROR_ALREADY_EXISTS (else 0). A null name gives a private mutex. Names hold no '\' after an
// optional "Local\" or "Global\" prefix (both name the session's object); a bad name fails with
// ERROR_INVALID_NAME, a session folder that cannot be made with its error. Ownership
// (bInitialOwner, waits, ReleaseMutex) is not provided: TRUE fails with ERROR_NOT_SUPPORTED.
HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCWSTR lpName);

// An unnamed event, auto-reset unless bManualReset, signalled from the start if bInitialState;
// it can be handed to a device, which signals it. lpEventAttributes is not used. A named event
// is refused with ERROR_NOT_SUPPORTED: this layer shares no events by name.
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName);
BOOL WINAPI SetEvent(HANDLE hEvent);
BOOL WINAPI ResetEvent(HANDLE hEvent);

// Waits until the event is signalled (WAIT_OBJECT_0; the wait resets an auto-reset event, so
// one signal releases one waiter) or dwMilliseconds pass (WAIT_TIMEOUT; INFINITE waits for
// ever). WAIT_FAILED with ERROR_INVALID_HANDLE for a handle that is not an event.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
