#include "drvlog_format.h"

#include "hostns/hostns.h"

#include <cstdio>
#include <cstring>

namespace drvlog {

namespace {

std::u16string wide_field(const uint8_t* at, size_t bytes)
{
    std::u16string text;
    for (size_t i = 0; i + 2 <= bytes; i += 2) {
        char16_t c;
        std::memcpy(&c, at + i, 2);
        if (c == 0)
            break;
        text += c;
    }
    return text;
}

} // namespace

ReadResult parse_read(const std::vector<uint8_t>& buffer)
{
    ReadResult result;
    if (buffer.empty())
        return result;
    if (buffer[0] == KLOG_READ_NOT_RUNNING) {
        result.running = false;
        return result;
    }
    size_t at = 1;
    while (at + 4 <= buffer.size()) {
        const uint8_t* e = buffer.data() + at;
        Record r;
        std::memcpy(&r.size, e, 4);
        if (r.size == 0)
            break;
        if (r.size < KLOG_ENTRY_FIXED_SIZE || r.size > buffer.size() - at) {
            result.malformed = true;
            break;
        }
        std::memcpy(&r.sequence, e + offsetof(KLogEntry, Sequence), 2);
        std::memcpy(&r.time, e + offsetof(KLogEntry, Time), sizeof(r.time));
        r.level = e[offsetof(KLogEntry, Level)];
        std::memcpy(&r.type, e + offsetof(KLogEntry, Type), 4);
        r.source = wide_field(e + offsetof(KLogEntry, Source), 2 * KLOG_SOURCE_CHARS);
        std::memcpy(&r.line, e + offsetof(KLogEntry, Line), 4);
        const char* process = reinterpret_cast<const char*>(e + offsetof(KLogEntry, Process));
        r.process.assign(process, strnlen(process, KLOG_PROCESS_CHARS));
        std::memcpy(&r.process_id, e + offsetof(KLogEntry, ProcessId), 8);
        std::memcpy(&r.thread_id, e + offsetof(KLogEntry, ThreadId), 8);
        r.message =
            wide_field(e + offsetof(KLogEntry, Message), r.size - KLOG_ENTRY_FIXED_SIZE + 8);
        result.records.push_back(std::move(r));
        at += result.records.back().size;
    }
    return result;
}

std::string level_name(uint8_t level)
{
    switch (level) {
    case KLOG_LEVEL_INFO:
        return "INFO ";
    case KLOG_LEVEL_WARNING:
        return "WARN ";
    case KLOG_LEVEL_ERROR:
        return "ERROR";
    default: {
        char text[8];
        std::snprintf(text, sizeof(text), "L0x%02X", level);
        return text;
    }
    }
}

namespace {

// Printed text must be valid UTF-8: a lone surrogate shows as U+FFFD.
std::string printable(const std::u16string& text)
{
    return hostns::to_utf8(text, hostns::utf8_policy::display);
}

} // namespace

std::string format_record(const Record& r)
{
    char head[96];
    std::snprintf(head, sizeof(head), "%04u-%02u-%02u %02u:%02u:%02u.%03u ", r.time.Year,
                  r.time.Month, r.time.Day, r.time.Hour, r.time.Minute, r.time.Second,
                  r.time.Milliseconds);
    std::string line = head + level_name(r.level) + " " + printable(r.source);
    char process[96];
    std::snprintf(process, sizeof(process), " [%s %llu/%llu] #%u ",
                  r.process.empty() ? "?" : r.process.c_str(),
                  static_cast<unsigned long long>(r.process_id),
                  static_cast<unsigned long long>(r.thread_id), r.sequence);
    return line + process + printable(r.message);
}

} // namespace drvlog
