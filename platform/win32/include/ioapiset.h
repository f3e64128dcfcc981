// Device control.
#pragma once

#include "minwinbase.h"

// Sends one control request to the device behind hDevice and waits for it (synchronous only:
// a non-null lpOverlapped fails with ERROR_INVALID_PARAMETER). On success *lpBytesReturned is
// the byte count the driver placed in lpOutBuffer. A driver's failure status comes back through
// GetLastError as Windows maps it (STATUS_INVALID_PARAMETER -> ERROR_INVALID_PARAMETER,
// STATUS_UNSUCCESSFUL -> ERROR_GEN_FAILURE, ...); a warning status (STATUS_BUFFER_OVERFLOW)
// returns FALSE with the output delivered. Handles that are not devices fail with
// ERROR_INVALID_FUNCTION.
//
// An input of exactly 8 bytes that holds an event handle of this process carries that event to
// the device, which then sees it as a handle of the calling process.
BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
