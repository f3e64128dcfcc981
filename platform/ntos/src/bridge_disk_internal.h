// The disk bridge's device table, shared by its table and FUSE modules.
#pragma once

#include "bridge_disk.h"
#include "bridge_disk_block.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace ntos::detail {

inline constexpr uint32_t bridge_disk_sector = 512;
// One IRP moves at most this much; the FUSE loop never sends more per request.
inline constexpr uint32_t bridge_disk_max_transfer = 1u << 20;

struct disk_entry {
    uint64_t ino = 0; // fresh for every arrival, so the host never serves a stale page cache
    PDEVICE_OBJECT device = nullptr; // referenced until the entry goes
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    bool read_only = false;

    // Host requests hold it shared; device removal takes it alone and sets `gone`.
    std::shared_mutex io_lock;
    bool gone = false;

    // Open handles that write through the kernel's write cache, and whether a write-back of
    // theirs has failed (their writes are refused from then on).
    std::atomic<int> cached_writers{0};
    std::atomic<bool> write_back_failed{false};

    // Created on first use, once the device answers its length query.
    std::mutex block_lock;
    std::unique_ptr<block_file> block;
};
using disk_entry_ptr = std::shared_ptr<disk_entry>;

// Drops entries whose device was deleted and publishes disk and CD-ROM devices of the namespace
// (below \Device) that no creator announced. Call with no entry's io_lock held.
void disk_table_refresh();
// The entries, in arrival order.
std::vector<disk_entry_ptr> disk_table_snapshot();
disk_entry_ptr disk_table_find_ino(uint64_t ino);
disk_entry_ptr disk_table_find_name(const std::string& name);

// The device has finished initialising (DO_DEVICE_INITIALIZING clear) and is not gone.
bool disk_entry_ready(disk_entry& entry);
// Requests may still be sent: the entry was not withdrawn and its device not deleted. Call with
// io_lock held shared.
bool disk_entry_usable(disk_entry& entry);
// The entry's block file, asking the device for its length on first use; null (with *err set)
// when the device cannot answer. Call with io_lock held shared.
block_file* disk_entry_block(disk_entry& entry, int* err);
// IRP_MJ_FLUSH_BUFFERS; 0 or a positive errno. Call with io_lock held shared.
int disk_entry_flush(disk_entry& entry);

// The first-sector hook, called for the entry's device.
void disk_table_first_sector_written(disk_entry& entry);

} // namespace ntos::detail
