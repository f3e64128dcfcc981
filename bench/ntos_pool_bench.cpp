// The kernel layer's pool against the host heap for a request path's 1 MiB bounce buffer:
// allocate, touch every page, free. The host maps fresh pages for large blocks and the first
// touch of each costs a page fault; the pool's free lists keep the block mapped.
#include <ntifs.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr ULONG tag = 0x6472766D;

void touch(char* block, size_t size)
{
    for (size_t offset = 0; offset < size; offset += 4096)
        block[offset] = static_cast<char>(offset);
    benchmark::DoNotOptimize(block);
}

// Arguments: block size in MiB. 1 MiB is the bridges' largest transfer; 64 MiB is above the
// host heap's largest mmap threshold, where every allocation maps fresh pages.
void BM_PoolBounceBuffer(benchmark::State& state)
{
    size_t size = size_t(state.range(0)) << 20;
    for (auto _ : state) {
        auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, size, tag));
        touch(block, size);
        ExFreePoolWithTag(block, tag);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(BM_PoolBounceBuffer)->Arg(1)->Arg(64);

void BM_HostHeapBounceBuffer(benchmark::State& state)
{
    size_t size = size_t(state.range(0)) << 20;
    for (auto _ : state) {
        auto* block = static_cast<char*>(std::malloc(size));
        touch(block, size);
        std::free(block);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}
BENCHMARK(BM_HostHeapBounceBuffer)->Arg(1)->Arg(64);

} // namespace

BENCHMARK_MAIN();
