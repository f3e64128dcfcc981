// One memory-log record as IOCTL_DRVLOG_READ_MEMLOG returns it, shared by the driver and the
// log reader. Entries follow each other from byte 1 of the output buffer with no alignment, so
// readers copy an entry out (or read it field by field) rather than cast into the buffer; an
// entry size of 0 ends the list, and 0xFF in byte 0 says the memory log is not running.
#pragma once

// Level bits the driver uses; every record it writes carries the type KLOG_TYPE_DRIVER.
#define KLOG_LEVEL_INFO 0x10
#define KLOG_LEVEL_WARNING 0x40
#define KLOG_LEVEL_ERROR 0x80
#define KLOG_TYPE_DRIVER 0x01000000u

#define KLOG_SOURCE_CHARS 32
#define KLOG_PROCESS_CHARS 32
#define KLOG_ENTRY_FIXED_SIZE 152u // plus 2 bytes per message character
#define KLOG_READ_NOT_RUNNING 0xFF

// Time fields in the kernel's order.
typedef struct _KLOG_TIME {
    USHORT Year;
    USHORT Month;
    USHORT Day;
    USHORT Hour;
    USHORT Minute;
    USHORT Second;
    USHORT Milliseconds;
    USHORT Weekday;
} KLOG_TIME;

typedef struct _KLogEntry {
    ULONG EntrySize; // KLOG_ENTRY_FIXED_SIZE + 2 * message length in characters
    USHORT Sequence;
    KLOG_TIME Time;
    UCHAR Level;
    UCHAR Reserved;
    ULONG Type;
    WCHAR Source[KLOG_SOURCE_CHARS]; // NUL-terminated
    ULONG Line;
    CHAR Process[KLOG_PROCESS_CHARS]; // narrow image name, NUL-terminated, may be empty
    ULONGLONG ProcessId;
    ULONGLONG ThreadId;
    WCHAR Message[4]; // NUL-terminated, then zero padding up to EntrySize
} KLogEntry;

static_assert(sizeof(KLOG_TIME) == 16);
static_assert(offsetof(KLogEntry, Sequence) == 4);
static_assert(offsetof(KLogEntry, Time) == 6);
static_assert(offsetof(KLogEntry, Level) == 22);
static_assert(offsetof(KLogEntry, Reserved) == 23);
static_assert(offsetof(KLogEntry, Type) == 24);
static_assert(offsetof(KLogEntry, Source) == 28);
static_assert(offsetof(KLogEntry, Line) == 92);
static_assert(offsetof(KLogEntry, Process) == 96);
static_assert(offsetof(KLogEntry, ProcessId) == 128);
static_assert(offsetof(KLogEntry, ThreadId) == 136);
static_assert(offsetof(KLogEntry, Message) == 144);
static_assert(sizeof(KLogEntry) == KLOG_ENTRY_FIXED_SIZE);
