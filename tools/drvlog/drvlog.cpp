// drvlog: shows and sets the driver's memory-log configuration and drains its records.
//
//   drvlog config [--trace N] [--level MASK] [--type MASK] [--max N]
//   drvlog read [--follow] [--buffer BYTES]
#include <windows.h>

#include "drvlog_format.h"
#include "redav_ioctl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void usage(FILE* out)
{
    std::fprintf(out,
                 "usage: drvlog config [--trace N] [--level MASK] [--type MASK] [--max N]\n"
                 "       drvlog read [--follow] [--buffer BYTES]\n"
                 "\n"
                 "config  shows the memory log's configuration; with options, changes it first\n"
                 "read    prints the waiting records, oldest first; --follow waits for more\n"
                 "        (until interrupted); --buffer sets the read size (default 65536)\n");
}

bool parse_number(const char* text, unsigned long long* value)
{
    char* end = nullptr;
    *value = std::strtoull(text, &end, 0);
    return end != text && *end == 0;
}

void report(const char* what)
{
    std::fprintf(stderr, "drvlog: %s failed (error %lu)\n", what,
                 static_cast<unsigned long>(GetLastError()));
}

HANDLE open_device()
{
    HANDLE device =
        CreateFileW(REDAV_CONTROL_USER_NAME, GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        report("opening \\\\.\\ZELRedAv");
    return device;
}

int run_config(HANDLE device, int argc, char** argv)
{
    DRVLOG_CONFIG config{};
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_DRVLOG_GET_CONFIG, nullptr, 0, &config, sizeof(config),
                         &returned, nullptr)) {
        report("IOCTL_DRVLOG_GET_CONFIG");
        return 1;
    }
    bool change = false;
    for (int i = 0; i < argc; ++i) {
        unsigned long long value = 0;
        if (i + 1 >= argc || !parse_number(argv[i + 1], &value)) {
            usage(stderr);
            return 2;
        }
        if (!std::strcmp(argv[i], "--trace"))
            config.Trace = ULONG(value);
        else if (!std::strcmp(argv[i], "--level"))
            config.LogLevel = UCHAR(value);
        else if (!std::strcmp(argv[i], "--type"))
            config.LogType = ULONG(value);
        else if (!std::strcmp(argv[i], "--max"))
            config.MemLogMaxCnt = value;
        else {
            usage(stderr);
            return 2;
        }
        change = true;
        ++i;
    }
    if (change && !DeviceIoControl(device, IOCTL_DRVLOG_SET_CONFIG, &config, sizeof(config),
                                   nullptr, 0, &returned, nullptr)) {
        report("IOCTL_DRVLOG_SET_CONFIG");
        return 1;
    }
    std::printf("Trace=%lu MaxMemLogCnt=%llu Level=0x%02X Type=0x%08lX\n",
                static_cast<unsigned long>(config.Trace),
                static_cast<unsigned long long>(config.MemLogMaxCnt), config.LogLevel,
                static_cast<unsigned long>(config.LogType));
    return 0;
}

// Prints what one read returns; false when the log is stopped or the read failed.
bool drain_once(HANDLE device, std::vector<uint8_t>& buffer, bool* any)
{
    DWORD returned = 0;
    if (!DeviceIoControl(device, IOCTL_DRVLOG_READ_MEMLOG, nullptr, 0, buffer.data(),
                         DWORD(buffer.size()), &returned, nullptr)) {
        report("IOCTL_DRVLOG_READ_MEMLOG");
        return false;
    }
    drvlog::ReadResult result = drvlog::parse_read(buffer);
    if (!result.running) {
        std::fprintf(stderr, "drvlog: the driver's memory log is not running\n");
        return false;
    }
    for (const auto& record : result.records)
        std::printf("%s\n", drvlog::format_record(record).c_str());
    if (result.malformed)
        std::fprintf(stderr, "drvlog: a malformed entry ended the read\n");
    std::fflush(stdout);
    *any = !result.records.empty();
    return true;
}

int run_read(HANDLE device, int argc, char** argv)
{
    bool follow = false;
    unsigned long long size = 65536;
    for (int i = 0; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--follow")) {
            follow = true;
        } else if (!std::strcmp(argv[i], "--buffer") && i + 1 < argc &&
                   parse_number(argv[i + 1], &size) && size >= 6 && size <= (1u << 20)) {
            ++i;
        } else {
            usage(stderr);
            return 2;
        }
    }
    std::vector<uint8_t> buffer(size);
    HANDLE event = nullptr;
    if (follow) {
        event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ULONGLONG value = reinterpret_cast<uintptr_t>(event);
        DWORD returned = 0;
        if (!event || !DeviceIoControl(device, IOCTL_DRVLOG_REGISTER_EVENT, &value, sizeof(value),
                                       nullptr, 0, &returned, nullptr)) {
            report("IOCTL_DRVLOG_REGISTER_EVENT");
            return 1;
        }
    }
    int rc = 0;
    for (;;) {
        bool any = false;
        // A full buffer means more may wait: read again before sleeping.
        do {
            if (!drain_once(device, buffer, &any)) {
                rc = 1;
                break;
            }
        } while (any);
        if (!follow || rc != 0)
            break;
        if (WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) {
            report("waiting for the driver's event");
            rc = 1;
            break;
        }
    }
    if (follow) {
        ULONGLONG none = 0;
        DWORD returned = 0;
        DeviceIoControl(device, IOCTL_DRVLOG_REGISTER_EVENT, &none, sizeof(none), nullptr, 0,
                        &returned, nullptr);
        CloseHandle(event);
    }
    return rc;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        usage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    bool config = !std::strcmp(argv[1], "config");
    if (!config && std::strcmp(argv[1], "read") != 0) {
        usage(stderr);
        return 2;
    }
    HANDLE device = open_device();
    if (device == INVALID_HANDLE_VALUE)
        return 1;
    int rc = config ? run_config(device, argc - 2, argv + 2) : run_read(device, argc - 2, argv + 2);
    CloseHandle(device);
    return rc;
}
