#include "common/sys_utils.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(FormatByteSize, PicksTheUnitAtEachBoundary)
{
    const struct {
        uint64_t bytes;
        const char16_t* text;
    } rows[] = {
        {0, u"0(B)"},
        {1023, u"1023(B)"},
        {1024, u"1(K)"},
        {2047, u"1(K)"}, // truncated, not rounded
        {1048575, u"1023(K)"},
        {1048576, u"1.0(M)"},
        {1572864, u"1.5(M)"},
        {1073741823, u"1024.0(M)"},
        {1073741824, u"1.00(G)"},
        {1073741824ull * 3 / 2, u"1.50(G)"},
        {1099511627776ull, u"1024.00(G)"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(FormatByteSize(r.bytes), std::u16string(r.text)) << r.bytes;
    }
}

TEST(FormatByteSize, ComputesInSinglePrecision)
{
    // 134,217,735 MiB is not representable in single precision and rounds to 2^27 before the
    // division; double precision would print 131072.01(G).
    EXPECT_EQ(FormatByteSize(134217735ull * 1048576ull), u"131072.00(G)");
    EXPECT_EQ(FormatByteSize(UINT64_MAX), u"17179869184.00(G)");
}

TEST(Random, SequenceMatchesThePlatformRuntime)
{
    // The first values the platform's runtime returns after srand(1).
    detail::seed_random(1);
    const int expected[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358, 26962, 24464};
    for (int value : expected) {
        EXPECT_EQ(detail::next_random(), value);
    }
}

TEST(RandomInRange, ScalesADrawIntoTheBounds)
{
    EXPECT_EQ(detail::scale_random(0, 255, 0), 0u);
    EXPECT_EQ(detail::scale_random(0, 255, 32767), 256u); // stored as a byte this is 0
    EXPECT_EQ(detail::scale_random(0, 255, 32766), 255u);
    EXPECT_EQ(detail::scale_random(10, 20, 32767), 21u);
    // 11 * (16383 / 32767) + 10 = 15.4998...
    EXPECT_EQ(detail::scale_random(10, 20, 16383), 15u);
    EXPECT_EQ(detail::scale_random(7, 7, 20000), 7u);
    // The whole 32-bit range: b - a + 1 wraps to 0 and every draw gives a.
    EXPECT_EQ(detail::scale_random(0, UINT32_MAX, 32767), 0u);
}

TEST(RandomInRange, ReversedBoundsDoNotOverflow)
{
    // b - a + 1 wraps to about 2^32; the product would not fit and saturates instead.
    EXPECT_EQ(detail::scale_random(10, 5, 32767), UINT32_MAX);
    EXPECT_EQ(detail::scale_random(10, 5, 0), 10u);
}

TEST(RandomInRange, DrawsStayWithinAToBPlusOne)
{
    detail::seed_random(7);
    std::vector<int> seen(258, 0);
    for (int i = 0; i < 200000; ++i) {
        const uint32_t v = RandomInRange(0, 255);
        ASSERT_LE(v, 256u);
        ++seen[v];
    }
    for (int v = 0; v < 256; ++v) {
        EXPECT_GT(seen[v], 0) << v;
    }
}

TEST(SeedRandom, SeedsWithTheTickCount)
{
    // Retried in case the tick moves between the seed and the reference.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const DWORD tick = GetTickCount();
        SeedRandom();
        const int first = detail::next_random();
        if (GetTickCount() != tick) {
            continue;
        }
        detail::seed_random(tick);
        EXPECT_EQ(first, detail::next_random());
        return;
    }
    GTEST_SKIP() << "the tick count moved on every attempt";
}

} // namespace
