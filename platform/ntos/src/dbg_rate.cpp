// The bound on DbgPrint's output (a token bucket).
#include "dbg_rate.h"

namespace ntos::detail {

bool dbg_rate_limit::admit(uint64_t now_ms, uint64_t* dropped)
{
    if (per_second_ == 0 || burst_ == 0) {
        *dropped = 0;
        return true;
    }
    if (started_ && now_ms > last_ms_) {
        // Each elapsed millisecond refills per_second_ thousandths of a line.
        uint64_t refill = (now_ms - last_ms_) * per_second_;
        uint64_t full = uint64_t(burst_) * 1000;
        tokens_milli_ = full - tokens_milli_ <= refill ? full : tokens_milli_ + refill;
    }
    if (!started_ || now_ms > last_ms_)
        last_ms_ = now_ms;
    started_ = true;
    if (tokens_milli_ < 1000) {
        ++dropped_;
        return false;
    }
    tokens_milli_ -= 1000;
    *dropped = dropped_;
    dropped_ = 0;
    return true;
}

} // namespace ntos::detail
