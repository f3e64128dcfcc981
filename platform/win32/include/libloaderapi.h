// Modules loaded by name at run time. There are no DLLs on this host: the layer carries the
// modules the programs load (a fixed table of names and their exports), and loading any other
// name fails as a missing DLL does.
#pragma once

#include "windef.h"

// Returns void rather than INT_PTR: a pointer to a function of no arguments returning void is the
// one the compiler lets callers cast to the export's real type without a warning.
typedef void(WINAPI* FARPROC)(void);

// Accepts a module's file name with or without its ".dll" extension, in any letter case, bare or
// in the system folder "C:\Windows\System32\". Each successful call counts one reference. Any
// other name fails with ERROR_MOD_NOT_FOUND; a null name with ERROR_INVALID_PARAMETER.
HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
// The export of that name (exact case); ERROR_PROC_NOT_FOUND when the module has none (ordinals
// are not exported), ERROR_MOD_NOT_FOUND for a handle that is not a loaded module.
FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
// Drops one reference; a module whose last reference is gone is no longer a valid handle.
// ERROR_INVALID_HANDLE for a handle that is not a loaded module.
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
