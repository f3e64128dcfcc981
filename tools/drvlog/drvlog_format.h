// Decoding of the memory log's read buffer and the text form drvlog prints.
#pragma once

#include <windows.h>

#include "klog_entry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace drvlog {

struct Record {
    uint32_t size = 0;
    uint16_t sequence = 0;
    KLOG_TIME time{};
    uint8_t level = 0;
    uint32_t type = 0;
    std::u16string source;
    uint32_t line = 0;
    std::string process;
    uint64_t process_id = 0;
    uint64_t thread_id = 0;
    std::u16string message;
};

struct ReadResult {
    bool running = true;    // false when the driver answered that its memory log is stopped
    bool malformed = false; // an entry claimed more bytes than the buffer holds
    std::vector<Record> records;
};

// Entries from byte 1 until an entry size of 0, the buffer's end, or a malformed size.
ReadResult parse_read(const std::vector<uint8_t>& buffer);

// "2026-12-09 09:41:07.123 INFO  main.cpp|DriverEntry [System 4/12] #0 [redav] Driver Start!"
std::string format_record(const Record& record);
std::string level_name(uint8_t level);

} // namespace drvlog
