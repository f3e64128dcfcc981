// The calling thread's last-error code.
#pragma once

#include "windef.h"

// Every call of this layer that fails stores its Windows error code here; calls that succeed
// leave it as it was unless their contract says otherwise. The value is per thread.
DWORD WINAPI GetLastError(VOID);
VOID WINAPI SetLastError(DWORD dwErrCode);
