// The memory log's life cycle, configuration, event registration and reader.
#include "klog_internal.h"

namespace {

constexpr ULONG kDefaultTrace = 1;
constexpr UCHAR kDefaultLevel = 0xFF;
constexpr ULONG kDefaultType = 0xFFFFFFFF;
constexpr ULONGLONG kDefaultMaxMemLogCnt = 1000;
constexpr ULONG kReadTrailer = 4; // zero bytes that read as a final entry size of 0

bool HaveConfigKey()
{
    return g_KLogConfigKey[0] != 0;
}

// The value when it can be read; otherwise the default, written back.
ULONG ReadConfigValue(PCWSTR Name, ULONG Default)
{
    if (!HaveConfigKey()) {
        return Default;
    }
    ULONG value = 0;
    if (NT_SUCCESS(Reg_ReadDword(g_KLogConfigKey, Name, &value))) {
        return value;
    }
    Reg_WriteDword(g_KLogConfigKey, Name, Default);
    return Default;
}

VOID WriteConfigValue(PCWSTR Name, ULONG Value)
{
    if (HaveConfigKey()) {
        Reg_WriteDword(g_KLogConfigKey, Name, Value);
    }
}

VOID WriteEntry(PUCHAR Out, const KLogRecord* Record, ULONG EntrySize)
{
    KLogEntry head = {};
    head.EntrySize = EntrySize;
    head.Sequence = Record->Sequence;
    head.Time = {
        static_cast<USHORT>(Record->Time.Year),         static_cast<USHORT>(Record->Time.Month),
        static_cast<USHORT>(Record->Time.Day),          static_cast<USHORT>(Record->Time.Hour),
        static_cast<USHORT>(Record->Time.Minute),       static_cast<USHORT>(Record->Time.Second),
        static_cast<USHORT>(Record->Time.Milliseconds), static_cast<USHORT>(Record->Time.Weekday)};
    head.Level = Record->Level;
    head.Type = Record->Type;
    RtlCopyMemory(head.Source, Record->Source, sizeof(head.Source));
    head.Line = Record->Line;
    RtlCopyMemory(head.Process, Record->Process, sizeof(head.Process));
    head.ProcessId = Record->ProcessId;
    head.ThreadId = Record->ThreadId;
    // Entries are unaligned in the buffer: copy the fixed part, then the text behind it. The
    // buffer is zero-filled, so the terminator and padding are already there.
    RtlCopyMemory(Out, &head, FIELD_OFFSET(KLogEntry, Message));
    RtlCopyMemory(Out + FIELD_OFFSET(KLogEntry, Message), Record->Message,
                  Record->MessageChars * sizeof(WCHAR));
}

VOID SetAndRelease(PKEVENT Event)
{
    if (Event != nullptr) {
        KeSetEvent(Event, IO_NO_INCREMENT, FALSE);
        ObDereferenceObject(Event);
    }
}

ULONGLONG BoundedCount(ULONGLONG Count)
{
    return Count < kKLogMaxRecords ? Count : kKLogMaxRecords;
}

// The slot of User's event, or null. Queue lock held.
KLogUserEvent* UserEventOf(const UCHAR* User)
{
    for (KLogUserEvent& slot : g_KLog.UserEvents) {
        if (slot.Event != nullptr && RtlEqualSid(slot.User, const_cast<UCHAR*>(User))) {
            return &slot;
        }
    }
    return nullptr;
}

// Replaces User's event with Event (null: removes it) and returns the one it had. FALSE when
// every slot is another user's.
bool ExchangeUserEvent(const UCHAR* User, PKEVENT Event, PKEVENT* Old)
{
    PCS_CON queue = g_KLog.Queue;
    if (queue == nullptr) {
        *Old = Event; // not running: nothing to follow
        return true;
    }
    bool stored = true;
    csConLock(queue);
    KLogUserEvent* slot = UserEventOf(User);
    *Old = slot != nullptr ? slot->Event : nullptr;
    if (slot == nullptr && Event != nullptr) {
        for (KLogUserEvent& free : g_KLog.UserEvents) {
            if (free.Event == nullptr) {
                slot = &free;
                break;
            }
        }
        stored = slot != nullptr;
    }
    if (slot != nullptr) {
        RtlCopyMemory(slot->User, User, sizeof(slot->User));
        slot->Event = Event;
    }
    csConUnlock(queue);
    return stored;
}

// Swaps the registered event; the queue's lock guards it when the log runs.
PKEVENT ExchangeEvent(PKEVENT Event)
{
    PCS_CON queue = g_KLog.Queue;
    if (queue != nullptr) {
        csConLock(queue);
    }
    PKEVENT old = g_KLog.Event;
    g_KLog.Event = Event;
    if (queue != nullptr) {
        csConUnlock(queue);
    }
    return old;
}

} // namespace

BOOLEAN KLogStart(PCUNICODE_STRING RegistryPath)
{
    PAGED_CODE();
    // A configuration path that would not fit is not used: a cut path names another key.
    RtlZeroMemory(g_KLogConfigKey, sizeof(g_KLogConfigKey));
    if (RegistryPath != nullptr && RegistryPath->Buffer != nullptr) {
        NTSTATUS status = SupportEx_StringCopyN(g_KLogConfigKey, ARRAYSIZE(g_KLogConfigKey),
                                                RegistryPath->Buffer, RegistryPath->Length / 2);
        if (NT_SUCCESS(status)) {
            status = SupportEx_StringCat(g_KLogConfigKey, ARRAYSIZE(g_KLogConfigKey),
                                         u"\\Parameters\\DrvLogConfig");
        }
        if (!NT_SUCCESS(status)) {
            g_KLogConfigKey[0] = 0;
        }
    }

    g_KLog = {};
    g_KLog.Trace = kDefaultTrace;
    g_KLog.Level = kDefaultLevel;
    g_KLog.Type = kDefaultType;
    g_KLog.MaxMemLogCnt = kDefaultMaxMemLogCnt;
    g_KLog.Trace = ReadConfigValue(u"Trace", kDefaultTrace);
    g_KLog.Level = static_cast<UCHAR>(ReadConfigValue(u"Level", kDefaultLevel) & 0xFF);
    g_KLog.Type = ReadConfigValue(u"Type", kDefaultType);
    g_KLog.MaxMemLogCnt = BoundedCount(ReadConfigValue(u"MaxMemLogCnt", kDefaultMaxMemLogCnt));

    g_KLog.NextSequence = 0;
    g_KLog.Queue = csConCreate();
    if (g_KLog.Queue == nullptr) {
        DbgPrint("[drvlog][error] csConCreate in LogStart failed!!!\r\n");
        KLogStop();
        return FALSE;
    }
    g_KLog.Started = 1;
    return TRUE;
}

BOOLEAN KLogIsStarted()
{
    return g_KLog.Started != 0;
}

VOID KLogStop()
{
    PAGED_CODE();
    InterlockedExchange(&g_KLog.Started, 0);
    while (InterlockedCompareExchange(&g_KLogWriters, 0, 0) != 0) {
        SupportEx_Sleep(1);
    }
    PKEVENT event = ExchangeEvent(nullptr);
    if (event != nullptr) {
        ObDereferenceObject(event);
    }
    PCS_CON queue = g_KLog.Queue;
    if (queue != nullptr) {
        csConLock(queue);
        while (queue->Tail != nullptr) {
            KLogFreeRecord(static_cast<KLogRecord*>(csConUnlink(queue->Tail)));
        }
        csConUnlock(queue);
        csConFree(queue);
    }
    for (KLogUserEvent& slot : g_KLog.UserEvents) {
        if (slot.Event != nullptr) {
            ObDereferenceObject(slot.Event);
        }
    }
    g_KLog = {};
}

VOID KLogRegisterEvent(HANDLE Event, KPROCESSOR_MODE RequestorMode)
{
    PAGED_CODE();
    REDAV_REQUESTER requester;
    Requester_Identify(&requester);
    PKEVENT referenced = nullptr;
    if (Event != nullptr) {
        PVOID object = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(Event, SYNCHRONIZE, *ExEventObjectType,
                                                    RequestorMode, &object, nullptr);
        if (NT_SUCCESS(status)) {
            referenced = static_cast<PKEVENT>(object);
        } else {
            KLogPrintMessage(u"ObReferenceObjectByHandle failed!!");
        }
    }
    // Root's event is the machine's and hears every record; a user's event replaces only that
    // user's own and hears only that user's records.
    PKEVENT old = nullptr;
    if (requester.IsPrivileged) {
        old = ExchangeEvent(referenced);
    } else if (!requester.Known) {
        old = referenced;
    } else if (!ExchangeUserEvent(requester.Sid, referenced, &old)) {
        KLogPrintMessage(u"[redav] DrvLog Register Event: too many users follow the log!");
        old = referenced;
    }
    if (old != nullptr) {
        ObDereferenceObject(old);
    }
}

VOID KLogSignalReaders(const UCHAR* Owner)
{
    PCS_CON queue = g_KLog.Queue;
    if (queue == nullptr) {
        return;
    }
    // References keep the events alive should a reader replace them before they are set.
    csConLock(queue);
    PKEVENT machine = g_KLog.Event;
    if (machine != nullptr) {
        ObReferenceObject(machine);
    }
    PKEVENT user = nullptr;
    if (RtlValidSid(const_cast<UCHAR*>(Owner))) {
        KLogUserEvent* slot = UserEventOf(Owner);
        user = slot != nullptr ? slot->Event : nullptr;
        if (user != nullptr) {
            ObReferenceObject(user);
        }
    }
    csConUnlock(queue);
    SetAndRelease(machine);
    SetAndRelease(user);
}

VOID KLogSetConfig(const DRVLOG_CONFIG* Config)
{
    PAGED_CODE();
    g_KLog.Trace = Config->Trace;
    g_KLog.MaxMemLogCnt = BoundedCount(Config->MemLogMaxCnt);
    g_KLog.Level = Config->LogLevel;
    g_KLog.Type = Config->LogType;
    WriteConfigValue(u"Trace", Config->Trace);
    WriteConfigValue(u"MaxMemLogCnt", static_cast<ULONG>(g_KLog.MaxMemLogCnt));
    WriteConfigValue(u"Level", Config->LogLevel);
    WriteConfigValue(u"Type", Config->LogType);
}

VOID KLogGetConfig(DRVLOG_CONFIG* Config)
{
    RtlZeroMemory(Config, sizeof(*Config));
    Config->Trace = g_KLog.Trace;
    Config->MemLogMaxCnt = g_KLog.MaxMemLogCnt;
    Config->LogLevel = g_KLog.Level;
    Config->LogType = g_KLog.Type;
}

VOID KLogRead(PVOID Buffer, ULONG Length)
{
    PAGED_CODE();
    auto* out = static_cast<PUCHAR>(Buffer);
    RtlZeroMemory(out, Length);
    if (!g_KLog.Started) {
        if (Length > 0) {
            out[0] = KLOG_READ_NOT_RUNNING;
        }
        return;
    }
    REDAV_REQUESTER reader;
    Requester_Identify(&reader);
    ULONG room = Length > 1 + kReadTrailer ? Length - 1 - kReadTrailer : 0;

    // Takes the reader's oldest records that fit, in order, off the queue; a record that does
    // not fit stays, first in line for the next read. Entries are written after the lock is
    // released: taken records are this read's alone.
    PCS_CON queue = g_KLog.Queue;
    KLogRecord* first = nullptr;
    KLogRecord** last = &first;
    bool waiting = false;
    csConLock(queue);
    for (PCS_CON_NODE node = queue->Tail; node != nullptr;) {
        PCS_CON_NODE newer = node->Newer;
        auto* record = static_cast<KLogRecord*>(node->Payload);
        if (reader.IsPrivileged || Requester_Is(&reader, record->Owner)) {
            ULONG entrySize = KLOG_ENTRY_FIXED_SIZE + 2 * record->MessageChars;
            if (entrySize > room) {
                waiting = true;
                break;
            }
            room -= entrySize;
            csConUnlink(node);
            g_KLog.Bytes -= KLogRecordBytes(record);
            record->NextRead = nullptr;
            *last = record;
            last = &record->NextRead;
        }
        node = newer;
    }
    csConUnlock(queue);

    ULONG position = 1;
    while (first != nullptr) {
        KLogRecord* record = first;
        first = record->NextRead;
        ULONG entrySize = KLOG_ENTRY_FIXED_SIZE + 2 * record->MessageChars;
        WriteEntry(out + position, record, entrySize);
        position += entrySize;
        KLogFreeRecord(record);
    }
    if (waiting) {
        KLogSignalReaders(reader.Sid); // more waits than this buffer holds
    }
}
