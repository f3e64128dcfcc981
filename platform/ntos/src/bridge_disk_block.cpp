// Sector splitting and read-modify-write for the disk bridge.
#include "bridge_disk_block.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace ntos::detail {

namespace {

// One sector of scratch per thread: FUSE threads never share it, and nothing is allocated per
// request once a thread has run.
uint8_t* scratch_sector(uint32_t size)
{
    thread_local std::vector<uint8_t> scratch;
    if (scratch.size() < size)
        scratch.resize(size);
    return scratch.data();
}

} // namespace

block_file::block_file(uint64_t device_bytes, uint32_t sector_size, uint32_t max_transfer,
                       transfer_fn transfer)
    : size_(device_bytes - device_bytes % sector_size), sector_(sector_size),
      max_transfer_(std::max(sector_size, max_transfer - max_transfer % sector_size)),
      transfer_(std::move(transfer))
{
}

int block_file::transfer_whole(bool write, uint64_t offset, uint8_t* data, uint64_t length)
{
    while (length > 0) {
        uint32_t chunk = static_cast<uint32_t>(std::min<uint64_t>(length, max_transfer_));
        int err = transfer_(write, static_cast<int64_t>(offset), data, chunk);
        if (err != 0)
            return err;
        offset += chunk;
        data += chunk;
        length -= chunk;
    }
    return 0;
}

int block_file::patch_sector(uint64_t sector_offset, const uint8_t* bytes, uint32_t at,
                             uint32_t count)
{
    uint8_t* sector = scratch_sector(sector_);
    std::unique_lock<std::shared_mutex> alone(write_lock_);
    int err = transfer_(false, static_cast<int64_t>(sector_offset), sector, sector_);
    if (err != 0)
        return err;
    std::memcpy(sector + at, bytes, count);
    return transfer_(true, static_cast<int64_t>(sector_offset), sector, sector_);
}

ssize_t block_file::read(uint8_t* buffer, size_t length, uint64_t offset)
{
    if (offset >= size_)
        return 0;
    length = static_cast<size_t>(std::min<uint64_t>(length, size_ - offset));
    const size_t total = length;

    if (offset % sector_ == 0 && length % sector_ == 0 && length >= read_ahead_minimum) {
        std::unique_lock<std::mutex> ahead(ahead_lock_);
        if (ahead_offset_ == offset && ahead_length_ == length)
            ahead_done_.wait(ahead, [this] { return !ahead_busy_; });
        const bool sequential = offset == last_end_;
        last_end_ = offset + length;
        planned_offset_ = offset + length;
        planned_length_ = sequential ? length : 0;
        if (!ahead_busy_ && ahead_offset_ == offset && ahead_length_ == length &&
            ahead_error_ == 0 && ahead_generation_ == generation_.load()) {
            std::memcpy(buffer, ahead_data_.data(), length);
            ahead_offset_ = UINT64_MAX;
            return static_cast<ssize_t>(total);
        }
    }

    uint32_t head = static_cast<uint32_t>(offset % sector_);
    if (head != 0) {
        uint8_t* sector = scratch_sector(sector_);
        int err = transfer_(false, static_cast<int64_t>(offset - head), sector, sector_);
        if (err != 0)
            return -err;
        size_t n = std::min<size_t>(length, sector_ - head);
        std::memcpy(buffer, sector + head, n);
        buffer += n;
        offset += n;
        length -= n;
    }
    uint64_t whole = length - length % sector_;
    if (whole > 0) {
        int err = transfer_whole(false, offset, buffer, whole);
        if (err != 0)
            return -err;
        buffer += whole;
        offset += whole;
        length -= whole;
    }
    if (length > 0) {
        uint8_t* sector = scratch_sector(sector_);
        int err = transfer_(false, static_cast<int64_t>(offset), sector, sector_);
        if (err != 0)
            return -err;
        std::memcpy(buffer, sector, length);
    }
    return static_cast<ssize_t>(total);
}

ssize_t block_file::write(const uint8_t* buffer, size_t length, uint64_t offset)
{
    if (length == 0)
        return 0;
    if (offset >= size_)
        return -ENOSPC;
    ssize_t done = write_sectors(buffer, length, offset);
    generation_++;
    return done;
}

ssize_t block_file::write_sectors(const uint8_t* buffer, size_t length, uint64_t offset)
{
    generation_++;
    length = static_cast<size_t>(std::min<uint64_t>(length, size_ - offset));
    const size_t total = length;

    uint32_t head = static_cast<uint32_t>(offset % sector_);
    if (head != 0) {
        uint32_t n = static_cast<uint32_t>(std::min<size_t>(length, sector_ - head));
        int err = patch_sector(offset - head, buffer, head, n);
        if (err != 0)
            return -err;
        buffer += n;
        offset += n;
        length -= n;
    }
    uint64_t whole = length - length % sector_;
    if (whole > 0) {
        std::shared_lock<std::shared_mutex> shared(write_lock_);
        // The transfer only reads from the buffer on a write.
        int err = transfer_whole(true, offset, const_cast<uint8_t*>(buffer), whole);
        if (err != 0)
            return -err;
        buffer += whole;
        offset += whole;
        length -= whole;
    }
    if (length > 0) {
        int err = patch_sector(offset, buffer, 0, static_cast<uint32_t>(length));
        if (err != 0)
            return -err;
    }
    return static_cast<ssize_t>(total);
}

void block_file::read_ahead()
{
    uint64_t offset;
    uint64_t length;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> ahead(ahead_lock_);
        if (ahead_busy_ || planned_length_ == 0 || planned_offset_ >= size_ ||
            planned_length_ > size_ - planned_offset_ ||
            (ahead_offset_ == planned_offset_ && ahead_length_ == planned_length_))
            return;
        offset = planned_offset_;
        length = planned_length_;
        planned_length_ = 0;
        ahead_busy_ = true;
        ahead_offset_ = offset;
        ahead_length_ = length;
        // Taken before the read is sent: a write that starts later changes it.
        generation = generation_.load();
    }
    // Only this thread touches ahead_data_ while ahead_busy_ is set.
    if (ahead_data_.size() < length)
        ahead_data_.resize(length);
    int err = transfer_whole(false, offset, ahead_data_.data(), length);
    std::lock_guard<std::mutex> ahead(ahead_lock_);
    ahead_error_ = err;
    ahead_generation_ = generation;
    ahead_busy_ = false;
    ahead_done_.notify_all();
}

} // namespace ntos::detail
