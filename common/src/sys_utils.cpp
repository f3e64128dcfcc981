#include "common/sys_utils.h"
#include "common/text_format.h"

#include <windows.h>

std::u16string FormatByteSize(uint64_t bytes)
{
    if (bytes < 1024u) {
        return FormatText(u"%I64d(B)", static_cast<int64_t>(bytes));
    }
    if (bytes < 1048576u) {
        return FormatText(u"%I64d(K)", static_cast<int64_t>(bytes / 1024u));
    }
    if (bytes < 1073741824u) {
        const float mib = static_cast<float>(bytes / 1024u) / 1024.0f;
        return FormatText(u"%.1f(M)", static_cast<double>(mib));
    }
    const float gib = static_cast<float>(bytes / 1048576u) / 1024.0f;
    return FormatText(u"%.2f(G)", static_cast<double>(gib));
}

namespace detail {
namespace {
thread_local uint32_t random_state = 1;
}

void seed_random(uint32_t seed)
{
    random_state = seed;
}

int next_random()
{
    random_state = random_state * 214013u + 2531011u;
    return static_cast<int>((random_state >> 16) & 0x7fffu);
}

uint32_t scale_random(uint32_t a, uint32_t b, int r)
{
    const uint32_t span = b - a + 1u;
    const float value =
        static_cast<float>(span) * (static_cast<float>(r) / 32767.0f) + static_cast<float>(a);
    // Truncation toward zero; a float outside 0..2^32 would make the conversion undefined.
    if (!(value >= 0.0f)) {
        return 0;
    }
    if (value >= 4294967296.0f) {
        return UINT32_MAX;
    }
    return static_cast<uint32_t>(value);
}
} // namespace detail

void SeedRandom()
{
    detail::seed_random(GetTickCount());
}

uint32_t RandomInRange(uint32_t a, uint32_t b)
{
    return detail::scale_random(a, b, detail::next_random());
}
