// The memory log's life cycle, configuration, event registration and reader.
#include "klog_internal.h"

namespace {

constexpr ULONG kDefaultTrace = 1;
constexpr UCHAR kDefaultLevel = 0xFF;
constexpr ULONG kDefaultType = 0xFFFFFFFF;
constexpr ULONGLONG kDefaultMaxMemLogCnt = 1000;
constexpr ULONG kReadTrailer = 4; // zero bytes that read as a final entry size of 0

// One reader at a time owns the held-back record.
KMUTEX g_KLogReadMutex;
bool g_KLogReadMutexReady = false;

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

VOID SetRegisteredEvent()
{
    PCS_CON queue = g_KLog.Queue;
    csConLock(queue);
    PKEVENT event = g_KLog.Event;
    if (event != nullptr) {
        ObReferenceObject(event);
    }
    csConUnlock(queue);
    if (event != nullptr) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        ObDereferenceObject(event);
    }
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
    if (!g_KLogReadMutexReady) {
        KeInitializeMutex(&g_KLogReadMutex, 0);
        g_KLogReadMutexReady = true;
    }
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
    g_KLog.MaxMemLogCnt = ReadConfigValue(u"MaxMemLogCnt", kDefaultMaxMemLogCnt);

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
    KLogFreeRecord(g_KLog.Held);
    g_KLog = {};
}

VOID KLogRegisterEvent(HANDLE Event, KPROCESSOR_MODE RequestorMode)
{
    PAGED_CODE();
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
    PKEVENT old = ExchangeEvent(referenced);
    if (old != nullptr) {
        ObDereferenceObject(old);
    }
}

VOID KLogSetConfig(const DRVLOG_CONFIG* Config)
{
    PAGED_CODE();
    g_KLog.Trace = Config->Trace;
    g_KLog.MaxMemLogCnt = Config->MemLogMaxCnt;
    g_KLog.Level = Config->LogLevel;
    g_KLog.Type = Config->LogType;
    WriteConfigValue(u"Trace", Config->Trace);
    WriteConfigValue(u"MaxMemLogCnt", static_cast<ULONG>(Config->MemLogMaxCnt));
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
    ULONG room = Length > 1 + kReadTrailer ? Length - 1 - kReadTrailer : 0;
    ULONG position = 1;

    KeWaitForSingleObject(&g_KLogReadMutex, Executive, KernelMode, FALSE, nullptr);
    PCS_CON queue = g_KLog.Queue;
    bool signal = false;
    for (;;) {
        if (g_KLog.Held == nullptr) {
            csConLock(queue);
            if (queue->Tail != nullptr) {
                g_KLog.Held = static_cast<KLogRecord*>(csConUnlink(queue->Tail));
            }
            csConUnlock(queue);
            if (g_KLog.Held == nullptr) {
                break;
            }
        }
        ULONG entrySize = KLOG_ENTRY_FIXED_SIZE + 2 * g_KLog.Held->MessageChars;
        if (entrySize > room) {
            signal = true; // more waits than this buffer holds
            break;
        }
        WriteEntry(out + position, g_KLog.Held, entrySize);
        position += entrySize;
        room -= entrySize;
        KLogFreeRecord(g_KLog.Held);
        g_KLog.Held = nullptr;
    }
    KeReleaseMutex(&g_KLogReadMutex, FALSE);
    if (signal) {
        SetRegisteredEvent();
    }
}
