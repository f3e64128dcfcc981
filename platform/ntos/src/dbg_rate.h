// The bound on DbgPrint's output. Drivers print on requests that clients send, so a client that
// sends requests in a loop must not flood the service's standard error: lines beyond a burst are
// dropped until time refills it, and the next line printed says how many went.
#pragma once

#include <cstdint>

namespace ntos::detail {

class dbg_rate_limit {
public:
    constexpr dbg_rate_limit(uint32_t lines_per_second, uint32_t burst)
        : per_second_(lines_per_second), burst_(burst), tokens_milli_(uint64_t(burst) * 1000)
    {
    }
    // Whether a line may be printed at now_ms (a monotonic clock). When it may, *dropped
    // receives the number of lines refused since the last line printed. A rate or burst of 0
    // admits every line.
    bool admit(uint64_t now_ms, uint64_t* dropped);

private:
    uint32_t per_second_;
    uint32_t burst_;
    uint64_t tokens_milli_; // thousandths of a line
    uint64_t last_ms_ = 0;
    bool started_ = false;
    uint64_t dropped_ = 0;
};

// DbgPrint's own bound: a burst of 500 lines, then 100 lines a second.
constexpr uint32_t dbg_lines_per_second = 100;
constexpr uint32_t dbg_burst_lines = 500;

} // namespace ntos::detail
