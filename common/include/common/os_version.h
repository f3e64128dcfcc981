// The platform version, captured once at program start.
#pragma once

#include <windows.h>

// Filled through GetVersionExW before any ordinary static initialiser runs, then only read.
// Zeros when the platform refused the request, so that both predicates below are false.
extern const OSVERSIONINFOEXW& OsVersionInfo;

// NT platform with a major version above 5.
bool IsVistaOrLater();
// NT platform with a version below 6, or 6 with a minor version of 3 or less.
bool IsWin81OrEarlier();

// The same predicates over any record.
bool IsVistaOrLater(const OSVERSIONINFOEXW& info);
bool IsWin81OrEarlier(const OSVERSIONINFOEXW& info);

namespace detail {
using get_version_fn = BOOL (*)(LPOSVERSIONINFOW);

// Asks for the basic record; when that succeeds on NT with a major version above 4, asks again
// with the extended record. Any failure leaves the whole record zero.
void capture_os_version(OSVERSIONINFOEXW& info, get_version_fn get_version = GetVersionExW);
} // namespace detail
