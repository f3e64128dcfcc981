// Byte counts as text and the 15-bit pseudo-random generator.
#pragma once

#include <stdint.h>
#include <string>

// "%I64d(B)" below 1 KiB, "%I64d(K)" below 1 MiB (truncated), "%.1f(M)" below 1 GiB, "%.2f(G)"
// from there on. The fractional forms divide the truncated KiB or MiB count by 1024 in single
// precision, so 1,073,741,823 bytes read "1024.0(M)".
std::u16string FormatByteSize(uint64_t bytes);

// Seeds the calling thread's generator with the tick count.
void SeedRandom();

// (b - a + 1) * (r / 32767) + a in single precision, truncated, for the generator's next value r
// (0 to 32767). A draw of 32767 yields b + 1; callers storing the result in a narrower type
// rely on that wrapping. With a > b the range wraps as unsigned arithmetic does; results that do
// not fit 32 bits saturate.
uint32_t RandomInRange(uint32_t a, uint32_t b);

namespace detail {
constexpr int random_max = 32767;

// The runtime generator: a per-thread linear congruential sequence with 15-bit results, the
// one the platform's C runtime uses, so that a seed yields the same values as there.
void seed_random(uint32_t seed);
int next_random();

// The scaling step of RandomInRange for a given draw.
uint32_t scale_random(uint32_t a, uint32_t b, int r);
} // namespace detail
