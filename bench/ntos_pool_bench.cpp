// The kernel layer's pool against the host heap for a request path's 1 MiB bounce buffer:
// allocate, touch every page, free. The host maps fresh pages for large blocks and the first
// touch of each costs a page fault; the pool's free lists keep the block mapped.
#include <ntifs.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t block_size = size_t{1} << 20;
constexpr ULONG tag = 0x6472766D;

void touch(char* block)
{
    for (size_t offset = 0; offset < block_size; offset += 4096)
        block[offset] = static_cast<char>(offset);
    benchmark::DoNotOptimize(block);
}

void BM_PoolBounceBuffer(benchmark::State& state)
{
    for (auto _ : state) {
        auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, block_size, tag));
        touch(block);
        ExFreePoolWithTag(block, tag);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(block_size));
}
BENCHMARK(BM_PoolBounceBuffer);

void BM_HostHeapBounceBuffer(benchmark::State& state)
{
    for (auto _ : state) {
        auto* block = static_cast<char*>(std::malloc(block_size));
        touch(block);
        std::free(block);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(block_size));
}
BENCHMARK(BM_HostHeapBounceBuffer);

} // namespace

BENCHMARK_MAIN();
