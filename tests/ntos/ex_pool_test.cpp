// Pool: tags counted per block, blocks reused by size class, leak reports and bad frees.
#include <ntifs.h>
#include <ntos_layer.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

constexpr ULONG driver_tag = 0x6472766D; // "mvrd" in memory
constexpr ULONG trace_tag = 0x44424750;  // "PGBD" in memory
constexpr ULONG unused_tag = 0x74736554;

TEST(ExPool, TagsCountBlocksAndBytesUntilFreed)
{
    ntos::pool_tag_usage before = ntos::pool_usage(driver_tag);
    ntos::pool_tag_usage trace_before = ntos::pool_usage(trace_tag);
    void* a = ExAllocatePoolWithTag(NonPagedPool, 100, driver_tag);
    void* b = ExAllocatePoolWithTag(PagedPool, 0, driver_tag);
    void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 7, trace_tag);
    ASSERT_TRUE(a && b && c);
    EXPECT_NE(a, b);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(c) % 16, 0u);
    EXPECT_EQ(ntos::pool_usage(driver_tag).blocks, before.blocks + 2);
    EXPECT_EQ(ntos::pool_usage(driver_tag).bytes, before.bytes + 100);
    EXPECT_EQ(ntos::pool_usage(trace_tag).blocks, trace_before.blocks + 1);

    ExFreePoolWithTag(a, driver_tag);
    ExFreePoolWithTag(b, 0); // tag 0: no check
    ExFreePool(c);
    EXPECT_EQ(ntos::pool_usage(driver_tag).blocks, before.blocks);
    EXPECT_EQ(ntos::pool_usage(driver_tag).bytes, before.bytes);
    EXPECT_EQ(ntos::pool_usage(trace_tag).blocks, trace_before.blocks);
}

TEST(ExPool, FreedBlocksAreReusedWithinTheirSizeClass)
{
    // A request path's 1 MiB bounce buffer: the second allocation must not come from the host.
    void* first = ExAllocatePoolWithTag(NonPagedPool, 1 << 20, driver_tag);
    ASSERT_NE(first, nullptr);
    static_cast<char*>(first)[(1 << 20) - 1] = 1; // the whole block is usable
    ExFreePoolWithTag(first, driver_tag);
    ntos::pool_statistics before = ntos::pool_stats();
    void* second = ExAllocatePoolWithTag(NonPagedPool, (1 << 20) + 1000, driver_tag);
    ntos::pool_statistics after = ntos::pool_stats();
    EXPECT_EQ(second, first);
    EXPECT_EQ(after.fresh_blocks, before.fresh_blocks);
    EXPECT_EQ(after.reused_blocks, before.reused_blocks + 1);
    // A block twice the size is another class.
    void* larger = ExAllocatePoolWithTag(NonPagedPool, 2 << 20, driver_tag);
    EXPECT_NE(larger, first);
    ExFreePoolWithTag(second, driver_tag);
    ExFreePoolWithTag(larger, driver_tag);

    // An idle service gives the free lists back; the next buffer is taken from the host again.
    ntos::pool_release_cached();
    EXPECT_EQ(ntos::pool_stats().cached_bytes, 0u);
    before = ntos::pool_stats();
    void* again = ExAllocatePoolWithTag(NonPagedPool, 1 << 20, driver_tag);
    EXPECT_EQ(ntos::pool_stats().fresh_blocks, before.fresh_blocks + 1);
    ExFreePoolWithTag(again, driver_tag);
}

std::string report;

TEST(ExPool, LeakReportNamesTheTagsStillAllocated)
{
    report.clear();
    ntos::set_debug_output([](const std::string& line) { report += line; });
    void* block = ExAllocatePoolWithTag(NonPagedPool, 48, unused_tag);
    EXPECT_FALSE(ntos::pool_report_leaks(&unused_tag, 1));
    EXPECT_NE(report.find("1 block(s), 48 byte(s)"), std::string::npos) << report;
    EXPECT_NE(report.find("0x74736554 'Test'"), std::string::npos) << report;
    ExFreePoolWithTag(block, unused_tag);
    report.clear();
    EXPECT_TRUE(ntos::pool_report_leaks(&unused_tag, 1));
    ntos::set_debug_output(nullptr);
    EXPECT_EQ(report, "");
}

class ExPoolDeathTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#if !defined(LOCKBIN_CHECKED)
        GTEST_SKIP() << "the kernel layer's contract checks are compiled out (LOCKBIN_CHECKED off)";
#endif
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

TEST_F(ExPoolDeathTest, BadFreesAbort)
{
    void* block = ExAllocatePoolWithTag(NonPagedPool, 16, driver_tag);
    EXPECT_DEATH(ExFreePoolWithTag(block, trace_tag), "allocated with tag 0x6472766d");
    EXPECT_DEATH(
        {
            ExFreePoolWithTag(block, driver_tag);
            ExFreePoolWithTag(block, driver_tag);
        },
        "did not allocate it or freed it already");
    static char not_pool[64];
    EXPECT_DEATH(ExFreePool(not_pool + 32), "did not allocate it");
    EXPECT_DEATH(ExFreePool(nullptr), "null pointer");
    ExFreePoolWithTag(block, driver_tag);
}

} // namespace
