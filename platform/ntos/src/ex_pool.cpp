// Pool: tagged blocks in size classes, kept on free lists for reuse.
//
// The host maps fresh pages for large blocks and the first touch of each page is slow (about
// 4 ms per MiB here), so a block freed by a request path is kept and handed out again rather than
// returned to the host: a reused bounce buffer costs no page faults. Classes are four steps per
// power of two, so a 1 MiB request plus its header uses a 1.25 MiB block, not 2 MiB.
#include "ntos_layer.h"
#include "ps_internal.h"

#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <map>
#include <sanitizer/asan_interface.h>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace ntos::detail {

namespace {

constexpr uint32_t live_magic = 0x4c4f4f50;  // "POOL"
constexpr uint32_t freed_magic = 0x45455246; // "FREE"
constexpr size_t max_cached_per_class = 64;
constexpr size_t max_cached_bytes = size_t{512} << 20;

struct alignas(16) pool_header {
    uint32_t magic;
    uint32_t tag;
    uint64_t size;
    uint64_t class_size;
    uint32_t type;
    uint32_t reserved;
};
static_assert(sizeof(pool_header) == 32);

struct tag_usage {
    uint64_t blocks = 0;
    uint64_t bytes = 0;
};

struct pool_state {
    std::mutex lock;
    std::unordered_map<uint64_t, std::vector<pool_header*>> free_lists;
    std::unordered_set<const void*> live;
    std::map<uint32_t, tag_usage> usage;
    size_t cached_bytes = 0;
    uint64_t fresh_blocks = 0;
    uint64_t reused_blocks = 0;
};

pool_state& pool()
{
    static pool_state* state = new pool_state; // outlives every static destructor
    return *state;
}

uint64_t class_size_for(uint64_t bytes)
{
    if (bytes <= 64)
        return (bytes + 15) & ~uint64_t{15};
    int top = 63 - __builtin_clzll(bytes - 1); // 2^top < bytes <= 2^(top+1)
    uint64_t step = uint64_t{1} << (top - 2);  // four steps between 2^top and 2^(top+1)
    return (bytes + step - 1) & ~(step - 1);
}

void* allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    thread_state& thread = current_thread_state();
    bool paged = (type & 1) != 0;
    NTOS_CHECK(!paged || thread.irql <= APC_LEVEL, "paged pool allocated at IRQL %d (tag 0x%08x)",
               thread.irql, tag);
    NTOS_CHECK(thread.irql <= DISPATCH_LEVEL, "pool allocated at IRQL %d", thread.irql);
    if (bytes > (uint64_t{1} << 40))
        return nullptr;
    uint64_t class_size = class_size_for(bytes + sizeof(pool_header));
    pool_state& state = pool();
    pool_header* header = nullptr;
    {
        std::lock_guard guard(state.lock);
        auto it = state.free_lists.find(class_size);
        if (it != state.free_lists.end() && !it->second.empty()) {
            header = it->second.back();
            it->second.pop_back();
            ASAN_UNPOISON_MEMORY_REGION(header + 1, class_size - sizeof(pool_header));
            state.cached_bytes -= class_size;
            ++state.reused_blocks;
        }
    }
    if (!header) {
        header = static_cast<pool_header*>(std::aligned_alloc(16, class_size));
        if (!header)
            return nullptr;
        std::lock_guard guard(state.lock);
        ++state.fresh_blocks;
    }
    header->magic = live_magic;
    header->tag = tag;
    header->size = bytes;
    header->class_size = class_size;
    header->type = static_cast<uint32_t>(type);
    void* body = header + 1;
    std::lock_guard guard(state.lock);
    state.live.insert(body);
    tag_usage& usage = state.usage[tag];
    ++usage.blocks;
    usage.bytes += bytes;
    return body;
}

void release(PVOID block, ULONG tag)
{
    NTOS_CHECK(block, "pool block freed through a null pointer");
    if (!block)
        return;
    NTOS_CHECK(current_thread_state().irql <= DISPATCH_LEVEL, "pool freed at IRQL %d",
               current_thread_state().irql);
    pool_state& state = pool();
    auto* header = static_cast<pool_header*>(block) - 1;
    std::lock_guard guard(state.lock);
    if (!state.live.erase(block)) {
        NTOS_CHECK(false, "%p freed to the pool, which did not allocate it or freed it already",
                   block);
        return;
    }
    NTOS_CHECK(tag == 0 || tag == header->tag,
               "pool block %p freed with tag 0x%08x, allocated with tag 0x%08x", block, tag,
               header->tag);
    tag_usage& usage = state.usage[header->tag];
    --usage.blocks;
    usage.bytes -= header->size;
    header->magic = freed_magic;
    std::vector<pool_header*>& list = state.free_lists[header->class_size];
    if (list.size() < max_cached_per_class &&
        state.cached_bytes + header->class_size <= max_cached_bytes) {
        // A sanitizer build reports any touch of a block that waits here, as it would after free.
        ASAN_POISON_MEMORY_REGION(header + 1, header->class_size - sizeof(pool_header));
        list.push_back(header);
        state.cached_bytes += header->class_size;
    } else {
        std::free(header);
    }
}

} // namespace

} // namespace ntos::detail

using namespace ntos::detail;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return allocate(PoolType, NumberOfBytes, Tag);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return allocate(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    release(P, Tag);
}

VOID ExFreePool(PVOID P)
{
    release(P, 0);
}

namespace ntos {

pool_tag_usage pool_usage(ULONG tag)
{
    pool_state& state = pool();
    std::lock_guard guard(state.lock);
    auto it = state.usage.find(tag);
    if (it == state.usage.end())
        return {};
    return {it->second.blocks, it->second.bytes};
}

pool_statistics pool_stats()
{
    pool_state& state = pool();
    std::lock_guard guard(state.lock);
    return {state.fresh_blocks, state.reused_blocks, state.cached_bytes};
}

uint64_t pool_release_cached()
{
    pool_state& state = pool();
    std::vector<pool_header*> cached;
    uint64_t bytes = 0;
    {
        std::lock_guard guard(state.lock);
        for (auto& [class_size, list] : state.free_lists) {
            cached.insert(cached.end(), list.begin(), list.end());
            list.clear();
        }
        bytes = state.cached_bytes;
        state.cached_bytes = 0;
    }
    for (pool_header* header : cached)
        std::free(header);
    // Freed memory stays in the allocator's arenas (one per thread that ever allocated) until
    // trimmed.
    malloc_trim(0);
    return bytes;
}

bool pool_report_leaks(const ULONG* tags, size_t count)
{
    pool_state& state = pool();
    std::vector<std::pair<uint32_t, tag_usage>> leaks;
    {
        std::lock_guard guard(state.lock);
        for (auto& [tag, usage] : state.usage) {
            bool watched = count == 0;
            for (size_t i = 0; i < count && !watched; ++i)
                watched = tags[i] == tag;
            if (watched && usage.blocks)
                leaks.emplace_back(tag, usage);
        }
    }
    for (auto& [tag, usage] : leaks) {
        char text[5] = {char(tag & 0xff), char((tag >> 8) & 0xff), char((tag >> 16) & 0xff),
                        char((tag >> 24) & 0xff), 0};
        for (char& c : text)
            if (c && (c < 0x20 || c > 0x7e))
                c = '.';
        DbgPrint("POOL: %llu block(s), %llu byte(s) still allocated with tag 0x%08x '%s'",
                 static_cast<unsigned long long>(usage.blocks),
                 static_cast<unsigned long long>(usage.bytes), tag, text);
    }
    return leaks.empty();
}

} // namespace ntos
