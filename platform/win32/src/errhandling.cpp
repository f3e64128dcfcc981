#include "errhandlingapi.h"

namespace {
thread_local DWORD last_error = 0;
}

DWORD WINAPI GetLastError(VOID)
{
    return last_error;
}

VOID WINAPI SetLastError(DWORD dwErrCode)
{
    last_error = dwErrCode;
}
