// State of the memory log shared by the writer, the reader and the control operations.
#pragma once

#include "klog.h"
#include "supportex.h"

struct KLogRecord {
    USHORT Sequence;
    TIME_FIELDS Time;
    UCHAR Level;
    ULONG Type;
    WCHAR Source[KLOG_SOURCE_CHARS];
    ULONG Line;
    CHAR Process[KLOG_PROCESS_CHARS];
    ULONGLONG ProcessId;
    ULONGLONG ThreadId;
    PWSTR Message; // own allocation
    ULONG MessageChars;
};

struct KLogState {
    LONG Started;
    ULONG Trace;
    PKEVENT Event; // referenced; swapped and read under the queue's lock
    USHORT NextSequence;
    UCHAR Level;
    ULONG Type;
    PCS_CON Queue;
    ULONGLONG MaxMemLogCnt;
    KLogRecord* Held; // owned by the read that runs, under g_KLogReadMutex
};

extern KLogState g_KLog;
// Writers between their check of Started and the end of their store.
extern volatile LONG g_KLogWriters;
extern WCHAR g_KLogConfigKey[REDAV_PATH_CHARS];

VOID KLogFreeRecord(KLogRecord* Record);
// DbgPrint of a wide text, one line.
VOID KLogPrintMessage(PCWSTR Message);
