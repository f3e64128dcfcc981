// The disk bridge's block layer over an in-memory disk that accepts whole sectors only, as the
// driver behind its unbuffered container does.
#include "bridge_disk_block.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

using ntos::detail::block_file;

constexpr uint32_t kSector = 512;

struct sector_disk {
    std::vector<uint8_t> bytes;
    std::mutex lock;
    int misaligned = 0;
    int transfers = 0;
    int fail_after = -1; // transfers that succeed before every later one fails with EIO
    bool slow = false;   // widens the window between the read and write of a patch

    explicit sector_disk(size_t size) : bytes(size) {}

    block_file::transfer_fn fn()
    {
        return [this](bool write, int64_t offset, uint8_t* data, uint32_t length) {
            if (slow)
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            std::lock_guard<std::mutex> guard(lock);
            if (offset % kSector != 0 || length % kSector != 0 || length == 0 ||
                static_cast<uint64_t>(offset) + length > bytes.size()) {
                ++misaligned;
                return EINVAL;
            }
            if (fail_after >= 0 && transfers >= fail_after)
                return EIO;
            ++transfers;
            if (write)
                std::memcpy(bytes.data() + offset, data, length);
            else
                std::memcpy(data, bytes.data() + offset, length);
            return 0;
        };
    }
};

TEST(VolumeBlockFile, RandomRequestsMatchAPlainByteArray)
{
    const size_t size = 64 * kSector;
    sector_disk disk(size);
    block_file file(size, kSector, 4 * kSector, disk.fn());
    std::vector<uint8_t> model(size);
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        uint64_t offset = rng() % size;
        size_t length = 1 + rng() % (9 * kSector);
        size_t expect = std::min<uint64_t>(length, size - offset);
        std::vector<uint8_t> data(length);
        if (rng() % 2) {
            for (auto& b : data)
                b = static_cast<uint8_t>(rng());
            ASSERT_EQ(file.write(data.data(), length, offset), static_cast<ssize_t>(expect));
            std::memcpy(model.data() + offset, data.data(), expect);
        } else {
            ASSERT_EQ(file.read(data.data(), length, offset), static_cast<ssize_t>(expect));
            ASSERT_EQ(0, std::memcmp(data.data(), model.data() + offset, expect))
                << "read of " << length << " at " << offset;
        }
    }
    EXPECT_EQ(disk.misaligned, 0);
    EXPECT_EQ(0, std::memcmp(disk.bytes.data(), model.data(), size));
}

TEST(VolumeBlockFile, EndOfFileAndPartialLastSector)
{
    // 10 sectors and 100 bytes: the bytes past the last whole sector are not shown.
    sector_disk disk(11 * kSector);
    block_file file(10 * kSector + 100, kSector, kSector, disk.fn());
    EXPECT_EQ(file.size(), 10u * kSector);
    uint8_t buffer[1024] = {};
    EXPECT_EQ(file.read(buffer, sizeof(buffer), 10 * kSector), 0);
    EXPECT_EQ(file.read(buffer, sizeof(buffer), 10 * kSector - 10), 10);
    EXPECT_EQ(file.write(buffer, 1, 10 * kSector), -ENOSPC);
    EXPECT_EQ(file.write(buffer, sizeof(buffer), 10 * kSector - 3), 3);
    EXPECT_EQ(file.write(buffer, 0, 0), 0);
    EXPECT_EQ(disk.misaligned, 0);
}

TEST(VolumeBlockFile, LargeRequestsAreSplitAtTheTransferCap)
{
    sector_disk disk(64 * kSector);
    block_file file(64 * kSector, kSector, 8 * kSector, disk.fn());
    std::vector<uint8_t> data(40 * kSector, 0x5A);
    ASSERT_EQ(file.write(data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
    EXPECT_EQ(disk.transfers, 5);
}

TEST(VolumeBlockFile, TransferErrorsReachTheCaller)
{
    sector_disk disk(16 * kSector);
    block_file file(16 * kSector, kSector, kSector, disk.fn());
    uint8_t buffer[3 * kSector] = {};
    disk.fail_after = 0;
    EXPECT_EQ(file.read(buffer, 10, 5), -EIO);
    EXPECT_EQ(file.write(buffer, sizeof(buffer), 0), -EIO);
    // A read-modify-write whose read fails must not write the sector.
    disk.fail_after = -1;
    std::memset(disk.bytes.data(), 0xEE, kSector);
    disk.fail_after = disk.transfers;
    EXPECT_EQ(file.write(buffer, 10, 1), -EIO);
    EXPECT_EQ(disk.bytes[1], 0xEE);
}

TEST(VolumeBlockFile, ReadAheadServesTheNextStretchAndWritesDropIt)
{
    const size_t chunk = block_file::read_ahead_minimum;
    sector_disk disk(16 * chunk);
    for (size_t i = 0; i < disk.bytes.size(); ++i)
        disk.bytes[i] = static_cast<uint8_t>(i * 13);
    block_file file(disk.bytes.size(), kSector, chunk, disk.fn());
    std::vector<uint8_t> buffer(chunk);
    auto expect_stretch = [&](size_t index) {
        ASSERT_EQ(file.read(buffer.data(), chunk, index * chunk), static_cast<ssize_t>(chunk));
        ASSERT_EQ(0, std::memcmp(buffer.data(), disk.bytes.data() + index * chunk, chunk))
            << "stretch " << index;
    };
    expect_stretch(0);
    file.read_ahead(); // one read is not yet a sequence
    EXPECT_EQ(disk.transfers, 1);
    expect_stretch(1);
    file.read_ahead();
    EXPECT_EQ(disk.transfers, 3);
    expect_stretch(2); // served from the stretch read ahead
    EXPECT_EQ(disk.transfers, 3);

    // A write between the read ahead and the read that would use it drops the stretch.
    file.read_ahead();
    std::vector<uint8_t> changed(kSector, 0xEE);
    ASSERT_EQ(file.write(changed.data(), kSector, 3 * chunk), static_cast<ssize_t>(kSector));
    expect_stretch(3);
    EXPECT_EQ(buffer[0], 0xEE);

    // A stretch whose read ahead failed is read again.
    disk.fail_after = disk.transfers;
    file.read_ahead();
    disk.fail_after = -1;
    expect_stretch(4);
    EXPECT_EQ(disk.misaligned, 0);
}

TEST(VolumeBlockFile, ConcurrentUnalignedWritersSharingSectorsLoseNothing)
{
    // Eight writers own interleaved 37-byte stripes, so nearly every sector is shared by
    // several of them and every write is a read-modify-write of partial sectors. Each stripe is
    // written once: a lost update would not be repaired by a later pass.
    const size_t size = 256 * kSector;
    const size_t stripe = 37;
    const int writers = 8;
    sector_disk disk(size);
    disk.slow = true;
    block_file file(size, kSector, 16 * kSector, disk.fn());
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            std::vector<uint8_t> data(stripe, static_cast<uint8_t>(w + 1));
            for (size_t at = w * stripe; at + stripe <= size; at += writers * stripe)
                ASSERT_EQ(file.write(data.data(), stripe, at), static_cast<ssize_t>(stripe));
        });
    }
    for (auto& t : threads)
        t.join();
    for (size_t at = 0; at + stripe <= size; at += stripe) {
        int owner = static_cast<int>((at / stripe) % writers) + 1;
        for (size_t i = 0; i < stripe; ++i)
            ASSERT_EQ(disk.bytes[at + i], owner) << "byte " << at + i;
    }
    EXPECT_EQ(disk.misaligned, 0);
}

} // namespace
