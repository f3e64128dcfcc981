// The driver's log: DbgTrace lines straight to the debugger, and the memory log, a bounded
// queue of structured records that a user-mode reader drains through the control device.
//
// DbgTrace and KLogWrite (with KLogInfo, KLogWarning, KLogError) may be called on any driver
// thread at IRQL <= DISPATCH_LEVEL.
// KLogStart, KLogStop and the control operations run at PASSIVE_LEVEL: they
// touch the registry. KLogStart runs before any other thread logs, KLogStop after all stopped.
#pragma once

#include <ntifs.h>

#include <stdarg.h>

#include "klog_entry.h"
#include "redav_ioctl.h"

// Tag of DbgTrace's buffers (the bytes P, G, B, D in memory).
#define KLOG_TRACE_POOL_TAG 0x44424750

// One debugger line "[hh:mm:ss mmm][pid/tid] file(line) function: message\r\n", never
// filtered. SourceFile is a path; its part after the last separator is printed.
VOID DbgTrace(PCSTR SourceFile, ULONG Line, PCSTR Function, PCSTR Format, ...);

// Starts the memory log with its configuration from "<RegistryPath>\Parameters\DrvLogConfig",
// writing back the defaults of values that cannot be read. Returns whether the log runs.
BOOLEAN KLogStart(PCUNICODE_STRING RegistryPath);
// Stops the memory log and frees every record; the log prints and drops records afterwards.
VOID KLogStop();
BOOLEAN KLogIsStarted();

// Source is the caller's source path (backslash-separated), a vertical bar and the routine's
// name; the part after its last backslash is kept, cut to 31 characters. Format is a wide
// printf format of the platform (%ws, %C, %I64d ...).
VOID KLogWrite(PCWSTR Source, ULONG Line, UCHAR Level, ULONG Type, PCWSTR Format, va_list Args);
VOID KLogInfo(PCWSTR Source, ULONG Line, ULONG Type, PCWSTR Format, ...);
VOID KLogWarning(PCWSTR Source, ULONG Line, ULONG Type, PCWSTR Format, ...);
VOID KLogError(PCWSTR Source, ULONG Line, ULONG Type, PCWSTR Format, ...);

// Every record belongs to the user whose request wrote it. A user reads and follows only that
// user's records; root (and the system) read all of them and own the machine-wide settings and
// event. The queue never holds more than kKLogMaxRecords records or kKLogMaxBytes of memory,
// whatever MaxMemLogCnt says.
//
// The four control operations; the caller has checked the buffer lengths and that a setting
// comes from root. The requester is the calling thread's.
// Replaces the requester's event: root's is the machine-wide one, set for every record; a user's
// is that user's own, set for that user's records. Event is a handle of the requesting process
// (null only unregisters), referenced with RequestorMode. Never fails the request.
VOID KLogRegisterEvent(HANDLE Event, KPROCESSOR_MODE RequestorMode);
// Applies the record at once (for the next record; the queue is not trimmed), MaxMemLogCnt cut
// to kKLogMaxRecords, and writes it to the registry.
VOID KLogSetConfig(const DRVLOG_CONFIG* Config);
VOID KLogGetConfig(DRVLOG_CONFIG* Config);
// Fills Buffer (Length bytes) with the oldest waiting entries the requester may read, in
// KLogEntry form from byte 1, each record exactly once; see klog_entry.h for the buffer's form.
VOID KLogRead(PVOID Buffer, ULONG Length);

// Builds the source text of the calling routine from its file and function names.
struct KLogSource {
    WCHAR Text[260];
    KLogSource(PCSTR File, PCSTR Function);
};

#define DBG_TRACE(...) DbgTrace(__FILE__, __LINE__, __func__, __VA_ARGS__)
#define KLOG_INFO(Format, ...)                                                                     \
    KLogInfo(KLogSource(__FILE__, __func__).Text, __LINE__, KLOG_TYPE_DRIVER,                      \
             Format __VA_OPT__(, ) __VA_ARGS__)
#define KLOG_WARNING(Format, ...)                                                                  \
    KLogWarning(KLogSource(__FILE__, __func__).Text, __LINE__, KLOG_TYPE_DRIVER,                   \
                Format __VA_OPT__(, ) __VA_ARGS__)
#define KLOG_ERROR(Format, ...)                                                                    \
    KLogError(KLogSource(__FILE__, __func__).Text, __LINE__, KLOG_TYPE_DRIVER,                     \
              Format __VA_OPT__(, ) __VA_ARGS__)
// For a step that several routines share: Routine (the caller's __func__, passed down) is the
// source the record names, so that a reader sees which sequence failed, not which helper.
#define KLOG_WARNING_FOR(Routine, Format, ...)                                                     \
    KLogWarning(KLogSource(__FILE__, Routine).Text, __LINE__, KLOG_TYPE_DRIVER,                    \
                Format __VA_OPT__(, ) __VA_ARGS__)
#define KLOG_ERROR_FOR(Routine, Format, ...)                                                       \
    KLogError(KLogSource(__FILE__, Routine).Text, __LINE__, KLOG_TYPE_DRIVER,                      \
              Format __VA_OPT__(, ) __VA_ARGS__)
