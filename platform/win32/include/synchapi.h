// Named mutexes, as far as the programs use them: to tell whether another copy runs in the
// user's session. Each name is one lock file in the session folder (session_objects.h); a handle
// holds a shared lock on it, so the name exists exactly while some handle, in any process of the
// session, is open, and a crashed process leaves nothing behind.
#pragma once

#include "windef.h"
#include "minwinbase.h"

// Creates or opens the named mutex. Opening an existing one succeeds with the last error
// ERROR_ALREADY_EXISTS (else 0). A null name gives a private mutex. Names hold no '\' after an
// optional "Local\" or "Global\" prefix (both name the session's object); a bad name fails with
// ERROR_INVALID_NAME, a session folder that cannot be made with its error. Ownership
// (bInitialOwner, waits, ReleaseMutex) is not provided: TRUE fails with ERROR_NOT_SUPPORTED.
HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCWSTR lpName);
