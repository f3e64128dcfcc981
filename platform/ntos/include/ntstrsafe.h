// Bounded string routines with the platform's safe-string rules: capacities count characters
// (Cch) or bytes (Cb) including the terminator; a capacity of 0 or over NTSTRSAFE_MAX_CCH is
// STATUS_INVALID_PARAMETER; a result that does not fit is cut, NUL-terminated and reported as
// STATUS_BUFFER_OVERFLOW. Destinations are always NUL-terminated when their capacity is valid.
// The printf family follows the platform's format rules (see DbgPrint in wdm.h).
#pragma once

#include "wdm.h"

#include <stdarg.h>

#define NTSTRSAFE_MAX_CCH 2147483647
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH 32767

NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchCopyNW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc, size_t cchToCopy);
NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchCatNW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc, size_t cchToAppend);
NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength);

NTSTATUS RtlStringCchCopyA(PSTR pszDest, size_t cchDest, PCSTR pszSrc);
NTSTATUS RtlStringCchCopyNA(PSTR pszDest, size_t cchDest, PCSTR pszSrc, size_t cchToCopy);
NTSTATUS RtlStringCchCatA(PSTR pszDest, size_t cchDest, PCSTR pszSrc);
NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc);

NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList);
