// State of the memory log shared by the writer, the reader and the control operations.
#pragma once

#include "klog.h"
#include "requester.h"
#include "supportex.h"

// Hard bounds that no setting lifts: the records kept and the memory they hold, and one
// message's length.
constexpr ULONGLONG kKLogMaxRecords = 100000;
constexpr ULONGLONG kKLogMaxBytes = 8u << 20;
constexpr SIZE_T kKLogMaxMessageChars = 1u << 16;
// Users other than root who may each follow their own records with an event at once.
constexpr ULONG kKLogUserEvents = 32;

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
    PWSTR Message; // own allocation of MessageCapacity characters
    ULONG MessageChars;
    ULONG MessageCapacity;
    // The user whose request wrote the record (all zero: the system's own); a user reads only
    // that user's records, root reads all.
    alignas(ULONG) UCHAR Owner[SECURITY_MAX_SID_SIZE];
    KLogRecord* NextRead; // chains the records one read takes off the queue
};

// What a record costs against kKLogMaxBytes.
inline ULONGLONG KLogRecordBytes(const KLogRecord* Record)
{
    return sizeof(KLogRecord) + ULONGLONG(Record->MessageCapacity) * sizeof(WCHAR);
}

// An event through which one user other than root follows that user's records.
struct KLogUserEvent {
    alignas(ULONG) UCHAR User[SECURITY_MAX_SID_SIZE];
    PKEVENT Event; // referenced; null: the slot is free
};

struct KLogState {
    LONG Started;
    ULONG Trace;
    PKEVENT Event; // machine-wide, root's; referenced; swapped and read under the queue's lock
    USHORT NextSequence;
    UCHAR Level;
    ULONG Type;
    PCS_CON Queue;
    ULONGLONG MaxMemLogCnt;
    ULONGLONG Bytes; // KLogRecordBytes of the queued records, under the queue's lock
    KLogUserEvent UserEvents[kKLogUserEvents]; // under the queue's lock
};

extern KLogState g_KLog;
// Writers between their check of Started and the end of their store.
extern volatile LONG g_KLogWriters;
extern WCHAR g_KLogConfigKey[REDAV_PATH_CHARS];

VOID KLogFreeRecord(KLogRecord* Record);
// DbgPrint of a wide text, one line.
VOID KLogPrintMessage(PCWSTR Message);
// Sets the machine-wide event and, for a record of a user, that user's event. Takes the queue's
// lock; call it without.
VOID KLogSignalReaders(const UCHAR* Owner);
