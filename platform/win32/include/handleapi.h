// Handles.
#pragma once

#include "windef.h"

// Closes any handle the layer gave out except a search (FindClose), which fails with
// ERROR_INVALID_HANDLE, like an unknown handle.
BOOL WINAPI CloseHandle(HANDLE hObject);
