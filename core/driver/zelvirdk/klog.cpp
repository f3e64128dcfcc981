// DbgTrace and the memory log's writer.
#include "klog_internal.h"

KLogState g_KLog = {};
WCHAR g_KLogConfigKey[REDAV_PATH_CHARS] = {};

namespace {

constexpr ULONG kTraceMessageBytes = 1024;
constexpr SIZE_T kFirstMessageChars = 256;

// The part of a path after its last separator; both separators count, since the build
// records host paths.
PCSTR FileNameOf(PCSTR Path)
{
    PCSTR name = nullptr;
    for (PCSTR p = Path; p != nullptr && *p != 0; ++p) {
        if (*p == '\\' || *p == '/') {
            name = p + 1;
        }
    }
    return name;
}

VOID LocalTimeFields(PTIME_FIELDS Fields)
{
    LARGE_INTEGER system;
    LARGE_INTEGER local;
    KeQuerySystemTime(&system);
    ExSystemTimeToLocalTime(&system, &local);
    RtlTimeToTimeFields(&local, Fields);
}

KLogRecord* BuildRecord(PCWSTR Source, ULONG Line, UCHAR Level, ULONG Type, PCWSTR Format,
                        va_list Args)
{
    auto* record = static_cast<KLogRecord*>(SupportEx_AllocatePool(sizeof(KLogRecord)));
    if (record == nullptr) {
        return nullptr;
    }
    LocalTimeFields(&record->Time);
    record->Level = Level;
    record->Type = Type;
    PCWSTR tail = nullptr;
    for (PCWSTR p = Source; p != nullptr && *p != 0; ++p) {
        if (*p == u'\\') {
            tail = p + 1;
        }
    }
    if (tail != nullptr) {
        SupportEx_StringCopyN(record->Source, KLOG_SOURCE_CHARS, tail, KLOG_SOURCE_CHARS - 1);
    }
    record->Line = Line;
    SupportEx_GetProcessImageName(record->Process, KLOG_PROCESS_CHARS);
    record->ProcessId = reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId());
    record->ThreadId = reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId());
    // Tokens are read at passive level only; above it only a driver thread's user is known.
    REDAV_REQUESTER owner;
    RtlZeroMemory(&owner, sizeof(owner));
    BOOLEAN known = KeGetCurrentIrql() == PASSIVE_LEVEL ? Requester_Identify(&owner)
                                                        : Requester_ActingFor(&owner);
    if (known) {
        RtlCopyMemory(record->Owner, owner.Sid, sizeof(record->Owner));
    }

    // Grow the buffer until the whole text fits: messages are stored whole.
    for (SIZE_T chars = kFirstMessageChars;; chars *= 2) {
        auto* message = static_cast<PWSTR>(SupportEx_AllocatePool(chars * sizeof(WCHAR)));
        if (message == nullptr) {
            ExFreePoolWithTag(record, 0);
            return nullptr;
        }
        va_list copy;
        va_copy(copy, Args);
        NTSTATUS status = SupportEx_StringVPrintfW(message, chars, Format, copy);
        va_end(copy);
        // Growth stops at the bound; a longer text is kept cut rather than never stored.
        if (status != STATUS_BUFFER_OVERFLOW || chars >= kKLogMaxMessageChars) {
            record->Message = message;
            record->MessageChars = static_cast<ULONG>(SupportEx_StringLength(message, chars));
            record->MessageCapacity = static_cast<ULONG>(chars);
            return record;
        }
        ExFreePoolWithTag(message, 0);
    }
}

} // namespace

KLogSource::KLogSource(PCSTR File, PCSTR Function)
{
    // Records keep the part after the last backslash, as for the platform's own paths.
    SIZE_T n = 0;
    for (PCSTR p = File; p != nullptr && *p != 0 && n + 1 < ARRAYSIZE(Text); ++p) {
        Text[n++] = *p == '/' ? u'\\' : static_cast<WCHAR>(static_cast<UCHAR>(*p));
    }
    if (n + 1 < ARRAYSIZE(Text)) {
        Text[n++] = u'|';
    }
    for (PCSTR p = Function; p != nullptr && *p != 0 && n + 1 < ARRAYSIZE(Text); ++p) {
        Text[n++] = static_cast<WCHAR>(static_cast<UCHAR>(*p));
    }
    Text[n] = 0;
}

VOID DbgTrace(PCSTR SourceFile, ULONG Line, PCSTR Function, PCSTR Format, ...)
{
    auto* message = static_cast<PCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, kTraceMessageBytes, KLOG_TRACE_POOL_TAG));
    if (message == nullptr) {
        return;
    }
    RtlZeroMemory(message, kTraceMessageBytes);
    va_list args;
    va_start(args, Format);
    SupportEx_StringVPrintfA(message, kTraceMessageBytes, Format, args);
    va_end(args);

    SIZE_T messageLength = 0;
    while (messageLength < kTraceMessageBytes && message[messageLength] != 0) {
        ++messageLength;
    }
    SIZE_T lineSize = messageLength + 100;
    auto* line =
        static_cast<PCHAR>(ExAllocatePoolWithTag(NonPagedPool, lineSize, KLOG_TRACE_POOL_TAG));
    if (line == nullptr) {
        ExFreePoolWithTag(message, 0);
        return;
    }
    RtlZeroMemory(line, lineSize);

    PCSTR file = FileNameOf(SourceFile);
    TIME_FIELDS time;
    LocalTimeFields(&time);
    CHAR clock[32];
    SupportEx_StringPrintfA(clock, sizeof(clock), "%02d:%02d:%02d %03d", time.Hour, time.Minute,
                            time.Second, time.Milliseconds);
    SupportEx_StringPrintfA(line, lineSize, "[%s][%d/%d] %s(%d) %s: %s\r\n", clock,
                            static_cast<int>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())),
                            static_cast<int>(reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId())),
                            file != nullptr ? file : "(null)", static_cast<int>(Line),
                            Function != nullptr ? Function : "(null)", message);
    DbgPrint("%s", line);
    ExFreePoolWithTag(line, 0);
    ExFreePoolWithTag(message, 0);
}

VOID KLogPrintMessage(PCWSTR Message)
{
    DbgPrint("%ws\r\n", Message);
}

VOID KLogFreeRecord(KLogRecord* Record)
{
    if (Record != nullptr) {
        SupportEx_FreePool(Record->Message);
        SupportEx_FreePool(Record);
    }
}

namespace {

VOID PrintOnly(PCWSTR Source, ULONG Line, UCHAR Level, ULONG Type, PCWSTR Format, va_list Args)
{
    KLogRecord* record = BuildRecord(Source, Line, Level, Type, Format, Args);
    if (record != nullptr) {
        KLogPrintMessage(record->Message);
        KLogFreeRecord(record);
    }
}

// Frees the oldest queued record. Queue lock held.
VOID DropOldest(PCS_CON queue)
{
    auto* oldest = static_cast<KLogRecord*>(csConUnlink(queue->Tail));
    g_KLog.Bytes -= KLogRecordBytes(oldest);
    KLogFreeRecord(oldest);
}

// Stores a built record; the caller is counted in g_KLogWriters, so the queue stays.
VOID Store(KLogRecord* record)
{
    if (g_KLog.Trace) {
        KLogPrintMessage(record->Message);
    }
    PCS_CON queue = g_KLog.Queue;
    const ULONGLONG bytes = KLogRecordBytes(record);
    // Once queued the record is a reader's to take and free.
    alignas(ULONG) UCHAR owner[SECURITY_MAX_SID_SIZE];
    RtlCopyMemory(owner, record->Owner, sizeof(owner));
    csConLock(queue);
    record->Sequence = g_KLog.NextSequence++;
    if (queue->Count >= g_KLog.MaxMemLogCnt) {
        for (int i = 0; i < 2 && queue->Tail != nullptr; ++i) {
            DropOldest(queue);
        }
    }
    // Whatever the count allows, the queue never holds more memory than its bound.
    while (queue->Tail != nullptr && g_KLog.Bytes + bytes > kKLogMaxBytes) {
        DropOldest(queue);
    }
    bool queued = csConInsertHead(queue, record) != nullptr;
    if (queued) {
        g_KLog.Bytes += bytes;
    }
    csConUnlock(queue);

    KLogSignalReaders(owner);
    if (!queued) {
        KLogFreeRecord(record);
    }
}

} // namespace

volatile LONG g_KLogWriters = 0;

VOID KLogWrite(PCWSTR Source, ULONG Line, UCHAR Level, ULONG Type, PCWSTR Format, va_list Args)
{
    // Counted before Started is read: KLogStop waits for counted writers before it frees the
    // queue, since volume threads may still log while the driver unloads.
    InterlockedIncrement(&g_KLogWriters);
    if (!g_KLog.Started) {
        InterlockedDecrement(&g_KLogWriters);
        PrintOnly(Source, Line, Level, Type, Format, Args);
        return;
    }
    bool always = Level == 1 && Type == 0;
    if (always || ((Level & g_KLog.Level) != 0 && (Type & g_KLog.Type) != 0)) {
        KLogRecord* record = BuildRecord(Source, Line, Level, Type, Format, Args);
        if (record != nullptr) {
            Store(record);
        }
    }
    InterlockedDecrement(&g_KLogWriters);
}

VOID KLogInfo(PCWSTR Source, ULONG Line, ULONG Type, PCWSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    KLogWrite(Source, Line, KLOG_LEVEL_INFO, Type, Format, args);
    va_end(args);
}

VOID KLogWarning(PCWSTR Source, ULONG Line, ULONG Type, PCWSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    KLogWrite(Source, Line, KLOG_LEVEL_WARNING, Type, Format, args);
    va_end(args);
}

VOID KLogError(PCWSTR Source, ULONG Line, ULONG Type, PCWSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    KLogWrite(Source, Line, KLOG_LEVEL_ERROR, Type, Format, args);
    va_end(args);
}
