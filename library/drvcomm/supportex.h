// The driver's support layer: pool, a locked list, bounded wide strings, registry access,
// symbolic-link and drive-path translation, device-control requests to other drivers, sleeping,
// privileges and the offset of a process's image name.
//
// Routines return NTSTATUS and never raise. Those that touch the registry, symbolic links or
// other drivers are pageable: call them at PASSIVE_LEVEL. The layer keeps no state beyond what
// SupportEx_Initialize finds once, before any other thread runs.
#pragma once

#include <ntifs.h>

#include <stdarg.h>

#include "verex.h"

// Tag of the driver's pool blocks (the bytes m, v, r, d in memory).
#define SUPPORTEX_POOL_TAG 0x6472766D

// Finds the image-name offset, then reads the version. Driver entry calls it first, in the
// system process.
NTSTATUS SupportEx_Initialize();
// The layer holds nothing that needs releasing.
VOID SupportEx_Uninitialize();

// Zero-filled non-paged block tagged SUPPORTEX_POOL_TAG, or null.
PVOID SupportEx_AllocatePool(SIZE_T Size);
// Accepts null.
VOID SupportEx_FreePool(PVOID Block);

// Locked list, newest node at the head. The list does no locking of its own: its users hold
// csConLock around every insertion, unlink and count read.
typedef struct _CS_CON_NODE* PCS_CON_NODE;
typedef struct _CS_CON_LOCK {
    KSPIN_LOCK SpinLock;
    KIRQL OldIrql; // saved by csConLock for csConUnlock
} CS_CON_LOCK;
typedef struct _CS_CON {
    PCS_CON_NODE Tail; // oldest
    PCS_CON_NODE Head; // newest
    ULONGLONG Count;
    CS_CON_LOCK Lock;
} CS_CON, *PCS_CON;
typedef struct _CS_CON_NODE {
    PCS_CON List;
    PCS_CON_NODE Older;
    PCS_CON_NODE Newer;
    PVOID Payload;
} CS_CON_NODE;

// New empty list from non-paged pool, or null.
PCS_CON csConCreate();
// Frees the list itself; the caller has unlinked every node first.
VOID csConFree(PCS_CON List);
// New node holding Payload at the head, or null when out of memory. Lock held.
PCS_CON_NODE csConInsertHead(PCS_CON List, PVOID Payload);
// Unlinks and frees Node and returns its payload. Lock held.
PVOID csConUnlink(PCS_CON_NODE Node);
// Raise to DISPATCH_LEVEL and take / release the list's spin lock.
VOID csConLock(PCS_CON List);
VOID csConUnlock(PCS_CON List);

// "a" to "z" become "A" to "Z"; everything else is returned unchanged.
WCHAR SupportEx_UpcaseLetter(WCHAR Letter);
// True when String begins with Prefix; CaseInsensitive folds only "a" to "z".
BOOLEAN SupportEx_HasPrefix(PCWSTR Prefix, PCWSTR String, BOOLEAN CaseInsensitive);

// Bounded copies with the platform's safe-string rules: always NUL-terminated,
// STATUS_BUFFER_OVERFLOW when cut, STATUS_INVALID_PARAMETER for a capacity over 0x7FFFFFFF.
// Capacities are in characters.
NTSTATUS SupportEx_StringCopy(PWSTR Dest, SIZE_T DestChars, PCWSTR Source);
NTSTATUS SupportEx_StringCopyN(PWSTR Dest, SIZE_T DestChars, PCWSTR Source, SIZE_T Count);
NTSTATUS SupportEx_StringCat(PWSTR Dest, SIZE_T DestChars, PCWSTR Source);
// Characters before the terminator; MaxChars when there is none within MaxChars.
SIZE_T SupportEx_StringLength(PCWSTR Text, SIZE_T MaxChars);
// Formatting in the platform's printf dialect (RtlStringCchVPrintfW, RtlStringCbVPrintfA), with
// the same bounds and statuses as the copies; narrow capacities are in bytes.
NTSTATUS SupportEx_StringVPrintfW(PWSTR Dest, SIZE_T DestChars, PCWSTR Format, va_list Args);
NTSTATUS SupportEx_StringVPrintfA(PCHAR Dest, SIZE_T DestBytes, PCSTR Format, va_list Args);
NTSTATUS SupportEx_StringPrintfA(PCHAR Dest, SIZE_T DestBytes, PCSTR Format, ...);

// One zero-filled paged block holding a UNICODE_STRING and, right behind it, its buffer.
// CapacityBytes 0 gives a block of 65536 bytes. Free with SupportEx_FreeUnicodeString.
PUNICODE_STRING SupportEx_AllocateUnicodeString(ULONG CapacityBytes);
VOID SupportEx_FreeUnicodeString(PUNICODE_STRING String);

// Registry, over full paths beginning with "\REGISTRY\MACHINE\" (any case).
// Creates every missing key of KeyPath; one trailing backslash is ignored.
NTSTATUS Reg_CreateKeyPath(PCWSTR KeyPath);
// Creates the key path first. STATUS_INVALID_PARAMETER when path, name or data is missing.
NTSTATUS Reg_WriteValue(PCWSTR KeyPath, PCWSTR ValueName, ULONG Type, PVOID Data, ULONG Size);
NTSTATUS Reg_WriteDword(PCWSTR KeyPath, PCWSTR ValueName, ULONG Value);
// Copies the value's data when it fits and reports its size in *DataSize; otherwise reports the
// size needed and returns STATUS_BUFFER_TOO_SMALL.
NTSTATUS Reg_ReadValue(PCWSTR KeyPath, PCWSTR ValueName, PVOID Buffer, ULONG BufferSize,
                       PULONG DataSize);
NTSTATUS Reg_ReadDword(PCWSTR KeyPath, PCWSTR ValueName, PULONG Value);
// The string's Length excludes a trailing NUL; STATUS_BUFFER_TOO_SMALL when it does not fit.
NTSTATUS Reg_ReadString(PCWSTR KeyPath, PCWSTR ValueName, PUNICODE_STRING String);

// Target of the symbolic link LinkName, into Target's buffer.
NTSTATUS SupportEx_QuerySymbolicLink(PCWSTR LinkName, PUNICODE_STRING Target);
// The device behind a drive letter ("\??\X:"), following dynamic-disk volume links once.
NTSTATUS SupportEx_GetDriveDeviceName(WCHAR Letter, PUNICODE_STRING DeviceName);
// Rewrites "X:\..." in place into "\Device\...\..."; any other form is left unchanged with
// success. STATUS_BUFFER_TOO_SMALL when the result would not fit in Capacity characters.
// *Converted (optional) says whether the path was rewritten.
NTSTATUS SupportEx_DosPathToNtPath(PWSTR Path, ULONG Capacity, PBOOLEAN Converted);

// Sends a synchronous (not internal) device-control request to the named device and waits for
// it; returns the request's status. The byte count the target returned is not reported.
NTSTATUS SupportEx_SendDeviceIoControl(PCWSTR DeviceName, ULONG IoControlCode, PVOID InputBuffer,
                                       ULONG InputLength, PVOID OutputBuffer, ULONG OutputLength);

// Relative, non-alertable kernel wait.
VOID SupportEx_Sleep(ULONG Milliseconds);
// Enables or disables one privilege (the low part of its LUID) in the current process's token.
NTSTATUS SupportEx_AdjustPrivilege(ULONG Privilege, BOOLEAN Enable);

// Byte offset of the image name inside the process object, 0 when unknown.
ULONG SupportEx_GetProcessNameOffset();
// Copies the current process's image name, at most Size - 1 characters and NUL-terminated;
// leaves Buffer unchanged when the offset is unknown.
VOID SupportEx_GetProcessImageName(PCHAR Buffer, ULONG Size);
