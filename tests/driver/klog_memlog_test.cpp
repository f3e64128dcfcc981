// The memory log: configuration in the registry, the filter, the bounded queue, the entry
// layout of a read, the held-back record and the log's life cycle.
#include <gtest/gtest.h>

#include "private_host.h"

#include <ntifs.h>
#include <ntos_layer.h>

#include "klog.h"
#include "klog_internal.h"
#include "supportex.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Entry {
    ULONG size;
    USHORT sequence;
    UCHAR level;
    ULONG type;
    std::u16string source;
    ULONG line;
    std::string process;
    ULONGLONG pid;
    std::u16string message;
};

// Parses a read buffer the way a reader must: field by field at the published offsets.
std::vector<Entry> Parse(const std::vector<UCHAR>& buffer)
{
    std::vector<Entry> entries;
    size_t at = 1;
    while (at + 4 <= buffer.size()) {
        const UCHAR* e = buffer.data() + at;
        Entry entry{};
        std::memcpy(&entry.size, e, 4);
        if (entry.size == 0) {
            break;
        }
        std::memcpy(&entry.sequence, e + 4, 2);
        entry.level = e[22];
        std::memcpy(&entry.type, e + 24, 4);
        for (size_t i = 28; i < 92; i += 2) {
            char16_t c;
            std::memcpy(&c, e + i, 2);
            if (c == 0) {
                break;
            }
            entry.source += c;
        }
        std::memcpy(&entry.line, e + 92, 4);
        entry.process = reinterpret_cast<const char*>(e + 96);
        std::memcpy(&entry.pid, e + 128, 8);
        for (size_t i = 144; i + 2 <= entry.size; i += 2) {
            char16_t c;
            std::memcpy(&c, e + i, 2);
            if (c == 0) {
                break;
            }
            entry.message += c;
        }
        entries.push_back(entry);
        at += entry.size;
    }
    return entries;
}

std::vector<UCHAR> Read(ULONG length)
{
    std::vector<UCHAR> buffer(length, 0xCC);
    KLogRead(buffer.data(), length);
    return buffer;
}

VOID Write(UCHAR level, ULONG type, PCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    KLogWrite(u"core\\driver\\zelvirdk\\klog_test.cpp|Write", 77, level, type, format, args);
    va_end(args);
}

// A client process of one user, with an event of its own for following the log.
struct User {
    explicit User(uint32_t uid)
    {
        process = ntos::create_client_process("drvlog", 1, uid, uid, 0);
        ntos::set_client_identity(process, uid, uid, {});
        ntos::process_attachment as(process);
        ZwCreateEvent(&handle, EVENT_ALL_ACCESS, nullptr, NotificationEvent, FALSE);
        ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, UserMode, &event,
                                  nullptr);
    }
    ~User()
    {
        ObDereferenceObject(event);
        ntos::close_client_process(process);
        ObDereferenceObject(process);
    }
    bool Signalled()
    {
        bool set = KeReadStateEvent(static_cast<PKEVENT>(event)) != 0;
        KeClearEvent(static_cast<PKEVENT>(event));
        return set;
    }
    PEPROCESS process = nullptr;
    HANDLE handle = nullptr;
    PVOID event = nullptr;
};

std::vector<std::u16string> Messages(const std::vector<UCHAR>& buffer)
{
    std::vector<std::u16string> messages;
    for (const Entry& e : Parse(buffer))
        messages.push_back(e.message);
    return messages;
}

class MemoryLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        service_ = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KLogTest" +
                   std::u16string(1, char16_t(u'A' + counter % 26)) +
                   std::u16string(1, char16_t(u'A' + (counter / 26) % 26)) +
                   std::u16string(1, char16_t(u'a' + getpid() % 26));
        ++counter;
        config_ = service_ + u"\\Parameters\\DrvLogConfig";
        SupportEx_Initialize();
        baseline_ = ntos::pool_usage(SUPPORTEX_POOL_TAG).blocks;
    }
    void TearDown() override
    {
        KLogStop();
        // Stopping frees every record, node and the queue.
        EXPECT_EQ(ntos::pool_usage(SUPPORTEX_POOL_TAG).blocks, baseline_);
    }
    bool Start()
    {
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, service_.c_str());
        return KLogStart(&path);
    }
    ULONG Value(const char16_t* name)
    {
        ULONG value = 0xDEAD;
        EXPECT_EQ(Reg_ReadDword(config_.c_str(), name, &value), STATUS_SUCCESS) << "value";
        return value;
    }
    std::u16string service_;
    std::u16string config_;
    uint64_t baseline_ = 0;
};

TEST_F(MemoryLog, FirstStartWritesTheDefaultsBack)
{
    ASSERT_TRUE(Start());
    EXPECT_EQ(Value(u"Trace"), 1u);
    EXPECT_EQ(Value(u"Level"), 255u);
    EXPECT_EQ(Value(u"Type"), 4294967295u);
    EXPECT_EQ(Value(u"MaxMemLogCnt"), 1000u);
    DRVLOG_CONFIG config;
    KLogGetConfig(&config);
    EXPECT_EQ(config.Trace, 1u);
    EXPECT_EQ(config.LogLevel, 0xFF);
    EXPECT_EQ(config.LogType, 0xFFFFFFFFu);
    EXPECT_EQ(config.MemLogMaxCnt, 1000u);
}

TEST_F(MemoryLog, StoredValuesReplaceTheDefaults)
{
    ASSERT_EQ(Reg_WriteDword(config_.c_str(), u"Level", 0x1C0), STATUS_SUCCESS);
    ASSERT_EQ(Reg_WriteDword(config_.c_str(), u"MaxMemLogCnt", 5), STATUS_SUCCESS);
    ASSERT_EQ(Reg_WriteDword(config_.c_str(), u"Trace", 0), STATUS_SUCCESS);
    ASSERT_TRUE(Start());
    DRVLOG_CONFIG config;
    KLogGetConfig(&config);
    EXPECT_EQ(config.LogLevel, 0xC0); // only the low byte counts
    EXPECT_EQ(config.MemLogMaxCnt, 5u);
    EXPECT_EQ(config.Trace, 0u);
    EXPECT_EQ(Value(u"Type"), 4294967295u); // the missing one is written back
}

TEST_F(MemoryLog, QueueDropsItsTwoOldestWhenFull)
{
    ASSERT_TRUE(Start());
    DRVLOG_CONFIG config{};
    config.MemLogMaxCnt = 1000;
    config.LogLevel = 0xFF;
    config.LogType = 0xFFFFFFFF;
    KLogSetConfig(&config); // Trace 0: keep the test's output short
    for (int i = 0; i < 1001; ++i) {
        Write(KLOG_LEVEL_INFO, KLOG_TYPE_DRIVER, u"record %d", i);
    }
    auto entries = Parse(Read(1u << 20));
    ASSERT_EQ(entries.size(), 999u);
    EXPECT_EQ(entries.front().message, u"record 2");
    EXPECT_EQ(entries.front().sequence, 2);
    EXPECT_EQ(entries.back().message, u"record 1000");
    EXPECT_TRUE(Parse(Read(4096)).empty()); // each record leaves exactly once
}

TEST_F(MemoryLog, FilterPassesMatchingBitsAndAlwaysLevelOneTypeZero)
{
    ASSERT_TRUE(Start());
    DRVLOG_CONFIG config{};
    config.MemLogMaxCnt = 100;
    config.LogLevel = 0x40;
    config.LogType = KLOG_TYPE_DRIVER;
    KLogSetConfig(&config);
    Write(KLOG_LEVEL_ERROR, KLOG_TYPE_DRIVER, u"filtered: level");
    Write(KLOG_LEVEL_WARNING, 0x2, u"filtered: type");
    Write(KLOG_LEVEL_WARNING, KLOG_TYPE_DRIVER | 0x2, u"kept");
    config.LogLevel = 0;
    KLogSetConfig(&config);
    Write(1, 0, u"always");
    auto entries = Parse(Read(4096));
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].message, u"kept");
    EXPECT_EQ(entries[1].message, u"always");
    // The registry holds what was set, low 32 bits of the count.
    EXPECT_EQ(Value(u"Level"), 0u);
    EXPECT_EQ(Value(u"MaxMemLogCnt"), 100u);
}

TEST_F(MemoryLog, EntryLayoutByteForByte)
{
    ASSERT_TRUE(Start());
    DRVLOG_CONFIG config{0, 0, 10, 0xFF, {}, 0xFFFFFFFF};
    KLogSetConfig(&config);
    KLogError(u"C:\\src\\zelvirdk\\virtualdisk.cpp|_ProcessIrpReadWrite", 1234, KLOG_TYPE_DRIVER,
              u"[redav] %C: failed (status=0x%08x)", u'Z', 0xC0000001u);
    auto buffer = Read(512);
    EXPECT_EQ(buffer[0], 0);
    auto entries = Parse(buffer);
    ASSERT_EQ(entries.size(), 1u);
    const Entry& e = entries[0];
    std::u16string message = u"[redav] Z: failed (status=0xc0000001)";
    EXPECT_EQ(e.message, message);
    EXPECT_EQ(e.size, 152 + 2 * message.size());
    EXPECT_EQ(e.level, KLOG_LEVEL_ERROR);
    EXPECT_EQ(e.type, KLOG_TYPE_DRIVER);
    EXPECT_EQ(e.source, u"virtualdisk.cpp|_ProcessIrpRead"); // cut to 31 characters
    EXPECT_EQ(e.line, 1234u);
    EXPECT_EQ(e.process, "System");
    EXPECT_EQ(e.pid, reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()));
    // Byte 23, the unused parts of the texts and the 6 bytes after the message are zero, and so
    // is everything after the last entry.
    const UCHAR* raw = buffer.data() + 1;
    EXPECT_EQ(raw[23], 0);
    for (size_t i = 28 + 2 * (e.source.size() + 1); i < 92; ++i) {
        EXPECT_EQ(raw[i], 0) << i;
    }
    for (size_t i = 144 + 2 * message.size(); i < buffer.size() - 1; ++i) {
        ASSERT_EQ(raw[i], 0) << i;
    }
    USHORT year;
    std::memcpy(&year, raw + 6, 2);
    EXPECT_GE(year, 2000);
}

TEST_F(MemoryLog, LongMessagesAndSourcesWithoutBackslash)
{
    ASSERT_TRUE(Start());
    DRVLOG_CONFIG config{0, 0, 10, 0xFF, {}, 0xFFFFFFFF};
    KLogSetConfig(&config);
    std::u16string text(700, u'x');
    KLogInfo(u"no-separator|Routine", 1, KLOG_TYPE_DRIVER, u"%ws!", text.c_str());
    auto entries = Parse(Read(4096));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, text + u"!"); // stored whole
    EXPECT_EQ(entries[0].source, u"");
}

TEST_F(MemoryLog, SmallReadsHoldTheOldestBackAndLaterReadsTakeItInOrder)
{
    ASSERT_TRUE(Start());
    DRVLOG_CONFIG config{0, 0, 10, 0xFF, {}, 0xFFFFFFFF};
    KLogSetConfig(&config);
    Write(KLOG_LEVEL_INFO, KLOG_TYPE_DRIVER, u"first");
    Write(KLOG_LEVEL_INFO, KLOG_TYPE_DRIVER, u"second");
    for (ULONG length : {1u, 5u, 100u}) {
        auto buffer = Read(length);
        EXPECT_EQ(buffer, std::vector<UCHAR>(length, 0)) << length;
    }
    // Room for exactly one entry each: 1 + 162 + 4 bytes.
    ULONG one = 1 + 152 + 2 * 5 + 4;
    auto a = Parse(Read(one));
    auto b = Parse(Read(one + 2));
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(a[0].message, u"first");
    EXPECT_EQ(b[0].message, u"second");
    EXPECT_EQ(b[0].sequence, a[0].sequence + 1);
}

TEST_F(MemoryLog, StoppedLogAnswersReadsWithFF)
{
    ASSERT_TRUE(Start());
    Write(KLOG_LEVEL_INFO, KLOG_TYPE_DRIVER, u"dropped at stop");
    KLogStop();
    EXPECT_FALSE(KLogIsStarted());
    Write(KLOG_LEVEL_INFO, KLOG_TYPE_DRIVER, u"printed, not kept");
    auto buffer = Read(64);
    EXPECT_EQ(buffer[0], KLOG_READ_NOT_RUNNING);
    EXPECT_EQ(std::vector<UCHAR>(buffer.begin() + 1, buffer.end()), std::vector<UCHAR>(63, 0));
    // A registration that names no event object fails to reference and changes nothing.
    KLogRegisterEvent(reinterpret_cast<HANDLE>(0x7777), KernelMode);
}

TEST_F(MemoryLog, StopWaitsForWritersThatAreStoring)
{
    ASSERT_TRUE(Start());
    DRVLOG_CONFIG config{0, 0, 50, 0xFF, {}, 0xFFFFFFFF};
    KLogSetConfig(&config);
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&] {
            while (!stop) {
                Write(KLOG_LEVEL_INFO, KLOG_TYPE_DRIVER, u"busy %d", written++);
            }
        });
    }
    while (written < 200) {
        std::this_thread::yield();
    }
    // Volume threads may still log while the driver unloads: stopping must not pull the queue
    // from under them (the sanitizer build turns a mistake here into a report).
    KLogStop();
    int after = written;
    while (written < after + 100) {
        std::this_thread::yield();
    }
    stop = true;
    for (auto& w : writers) {
        w.join();
    }
    EXPECT_FALSE(KLogIsStarted());
}

} // namespace

namespace {

// A user reads, drains and follows only the records of that user's own requests; root (here the
// system) reads the rest, and a user's null event cannot unhook anyone else's.
TEST_F(MemoryLog, UsersReadAndFollowOnlyTheirOwnRecords)
{
    ASSERT_TRUE(Start());
    DRVLOG_CONFIG config{0, 0, 100, 0xFF, {}, 0xFFFFFFFF};
    KLogSetConfig(&config);
    User victim(61001);
    User attacker(61002);
    User root(0);
    {
        ntos::process_attachment as(victim.process);
        KLogRegisterEvent(victim.handle, UserMode);
    }
    {
        ntos::process_attachment as(root.process);
        KLogRegisterEvent(root.handle, UserMode);
    }
    {
        ntos::process_attachment as(attacker.process);
        KLogRegisterEvent(nullptr, UserMode);
    }
    auto WriteAs = [](User& user, const char16_t* text) {
        ntos::process_attachment as(user.process);
        Write(KLOG_LEVEL_ERROR, KLOG_TYPE_DRIVER, u"%ws", text);
    };
    WriteAs(attacker, u"attacker's");
    EXPECT_FALSE(victim.Signalled());
    EXPECT_TRUE(root.Signalled()) << "root follows every record";
    WriteAs(victim, u"victim's vault V: is open");
    EXPECT_TRUE(victim.Signalled());
    Write(KLOG_LEVEL_ERROR, KLOG_TYPE_DRIVER, u"the system's");

    auto ReadAs = [](User& user) {
        ntos::process_attachment as(user.process);
        return Messages(Read(4096));
    };
    EXPECT_EQ(ReadAs(attacker), std::vector<std::u16string>{u"attacker's"});
    EXPECT_TRUE(ReadAs(attacker).empty());
    EXPECT_EQ(ReadAs(victim), std::vector<std::u16string>{u"victim's vault V: is open"});
    WriteAs(victim, u"victim again");
    EXPECT_EQ(ReadAs(root), (std::vector<std::u16string>{u"the system's", u"victim again"}));

    // A user's read too small for that user's oldest record keeps it and wakes that user only.
    WriteAs(victim, u"kept");
    victim.Signalled();
    root.Signalled();
    {
        ntos::process_attachment as(victim.process);
        EXPECT_TRUE(Parse(Read(100)).empty());
    }
    EXPECT_TRUE(victim.Signalled());
    EXPECT_EQ(ReadAs(victim), std::vector<std::u16string>{u"kept"});
}

// However a setting is made, the queue holds at most kKLogMaxRecords records and kKLogMaxBytes
// of memory.
TEST_F(MemoryLog, RecordsAndTheirMemoryStayWithinHardBounds)
{
    ASSERT_TRUE(Start());
    DRVLOG_CONFIG config{0, 0, 1ull << 40, 0xFF, {}, 0xFFFFFFFF};
    KLogSetConfig(&config);
    DRVLOG_CONFIG applied;
    KLogGetConfig(&applied);
    EXPECT_EQ(applied.MemLogMaxCnt, kKLogMaxRecords);
    EXPECT_EQ(Value(u"MaxMemLogCnt"), kKLogMaxRecords);

    const uint64_t before = ntos::pool_usage(SUPPORTEX_POOL_TAG).bytes;
    const std::u16string big(20000, u'x');
    for (int i = 0; i < 800; ++i) // 32 MB of messages
        Write(KLOG_LEVEL_INFO, KLOG_TYPE_DRIVER, u"%d %ws", i, big.c_str());
    const uint64_t held = ntos::pool_usage(SUPPORTEX_POOL_TAG).bytes - before;
    EXPECT_LE(held, kKLogMaxBytes + 64 * 1024) << "queue nodes and records beyond the bound";
    EXPECT_GE(held, kKLogMaxBytes / 2);
    // What is kept is the newest.
    auto entries = Parse(Read(1u << 24));
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().message.substr(0, 4), u"799 ");
}

} // namespace
