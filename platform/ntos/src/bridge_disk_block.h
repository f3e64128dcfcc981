// The block layer of the disk bridge: turns host reads and writes at any offset and length into
// transfers of whole sectors, as a disk (and the driver's unbuffered container behind it) takes
// them. Host-only; knows nothing of IRPs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <sys/types.h>
#include <vector>

namespace ntos::detail {

class block_file {
public:
    // Moves `length` bytes (a multiple of the sector size) at the sector-aligned device offset
    // `offset` into (read) or out of (write) `data`. Returns 0 or a positive errno. Called from
    // several threads at once; a write transfer does not modify `data`.
    using transfer_fn =
        std::function<int(bool write, int64_t offset, uint8_t* data, uint32_t length)>;

    // `device_bytes` is cut down to whole sectors: the bytes of a last partial sector cannot be
    // moved in whole sectors, so the file does not show them. `max_transfer` (a multiple of
    // the sector size) caps one transfer.
    block_file(uint64_t device_bytes, uint32_t sector_size, uint32_t max_transfer,
               transfer_fn transfer);

    uint64_t size() const { return size_; }
    uint32_t sector_size() const { return sector_; }

    // Bytes moved, short only at the end of the file, or -errno. A read at or past the end
    // returns 0; a write there returns -ENOSPC. Partial sectors are read, patched and written
    // back while every other write of this file waits, so two writers that share a sector never
    // lose each other's bytes.
    ssize_t read(uint8_t* buffer, size_t length, uint64_t offset);
    ssize_t write(const uint8_t* buffer, size_t length, uint64_t offset);

    // Sequential reads: once a read of whole sectors (at least read_ahead_minimum bytes) has
    // continued the one before it, read_ahead() - called by the bridge after the host has its
    // answer - reads the next stretch of the same length, so that the device works while the
    // host takes the answer and asks again. A read of exactly that stretch is then served from
    // it; a write anywhere in the meantime drops it. Does nothing when there is nothing to read.
    void read_ahead();
    static constexpr size_t read_ahead_minimum = 64 * 1024;

private:
    ssize_t write_sectors(const uint8_t* buffer, size_t length, uint64_t offset);
    int transfer_whole(bool write, uint64_t offset, uint8_t* data, uint64_t length);
    int patch_sector(uint64_t sector_offset, const uint8_t* bytes, uint32_t at, uint32_t count);

    uint64_t size_;
    uint32_t sector_;
    uint32_t max_transfer_;
    transfer_fn transfer_;
    // Whole-sector writes share it; a read-modify-write holds it alone.
    std::shared_mutex write_lock_;
    // Bumped before and after every write, so a stretch read ahead across one is not used.
    std::atomic<uint64_t> generation_{0};

    std::mutex ahead_lock_;
    std::condition_variable ahead_done_;
    uint64_t last_end_ = UINT64_MAX; // end of the last read of whole sectors
    uint64_t planned_offset_ = 0;    // the stretch read_ahead() is to read, if planned_length_
    uint64_t planned_length_ = 0;
    bool ahead_busy_ = false; // a read ahead is under way (ahead_data_ is its)
    uint64_t ahead_offset_ = UINT64_MAX;
    uint64_t ahead_length_ = 0;
    uint64_t ahead_generation_ = 0;
    int ahead_error_ = 0;
    std::vector<uint8_t> ahead_data_;
};

} // namespace ntos::detail
