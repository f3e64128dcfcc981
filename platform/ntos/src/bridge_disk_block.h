// The block layer of the disk bridge: turns host reads and writes at any offset and length into
// transfers of whole sectors, as a disk (and the driver's unbuffered container behind it) takes
// them. Host-only; knows nothing of IRPs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <shared_mutex>
#include <sys/types.h>

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

private:
    int transfer_whole(bool write, uint64_t offset, uint8_t* data, uint64_t length);
    int patch_sector(uint64_t sector_offset, const uint8_t* bytes, uint32_t at, uint32_t count);

    uint64_t size_;
    uint32_t sector_;
    uint32_t max_transfer_;
    transfer_fn transfer_;
    // Whole-sector writes share it; a read-modify-write holds it alone.
    std::shared_mutex write_lock_;
};

} // namespace ntos::detail
