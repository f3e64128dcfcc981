// The sector transform against the slow OpenSSL-based reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "diskrw.h"
#include "sector_reference.h"

namespace {

using Bytes = std::vector<UCHAR>;
using sector_reference::Reference;

struct Volume {
    BLOWFISH_CTX bf;
    Bytes table = Bytes(DISKRW_TABLE_SIZE);

    explicit Volume(const Bytes& key)
    {
        DeriveVolumeKeyMaterial(key.data(), (ULONG)key.size(), &bf, table.data());
    }
    Bytes encrypt(long long x0, Bytes data) const
    {
        DiskRW_EncryptRun(&bf, table.data(), x0, data.data(), (ULONG)data.size());
        return data;
    }
    Bytes decrypt(long long x0, Bytes data) const
    {
        DiskRW_DecryptRun(&bf, table.data(), x0, data.data(), (ULONG)data.size());
        return data;
    }
};

Bytes random_bytes(std::mt19937& rng, size_t n)
{
    Bytes out(n);
    for (auto& b : out) {
        b = (UCHAR)rng();
    }
    return out;
}

// A key as the manager sends it: 20 digest bytes, then zeros up to 128.
Bytes manager_key(std::mt19937& rng)
{
    Bytes key = random_bytes(rng, 20);
    key.resize(128, 0);
    return key;
}

TEST(DiskRWTransform, KeyMaterialMatchesTheDefinition)
{
    std::mt19937 rng(1);
    for (size_t length : {1u, 16u, 20u, 128u, 300u}) {
        Bytes key = random_bytes(rng, length);
        Reference ref(key);
        Volume vol(key);
        EXPECT_EQ(vol.table, ref.t) << length;
        // The context is the one OpenSSL expands from K: encrypt one block both ways.
        UCHAR block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
        UCHAR mine[8];
        memcpy(mine, block, 8);
        ULONG n = 8;
        BlowFish_Encrypt(&vol.bf, mine, &n);
        ref.cipher_block(block, BF_ENCRYPT);
        EXPECT_EQ(0, memcmp(mine, block, 8)) << length;
    }
}

TEST(DiskRWTransform, FirstDiskSectorUsesSecondTableSliceAndSectorFifteenWraps)
{
    std::mt19937 rng(2);
    Bytes key = manager_key(rng);
    Reference ref(key);
    Volume vol(key);
    Bytes data = random_bytes(rng, 512);

    // Virtual-disk sector 0 sits at file offset 512: bytes 16..511 are data ^ T[528..1023].
    Bytes stored = vol.encrypt(512, data);
    EXPECT_EQ(stored, ref.encrypt(512, data));
    for (size_t i = 16; i < 512; ++i) {
        ASSERT_EQ(stored[i], data[i] ^ ref.t[512 + i]) << i;
    }
    // Disk sector 15 is file offset 8192, which wraps to T[0..511].
    Bytes wrapped = vol.encrypt(8192, data);
    for (size_t i = 16; i < 512; ++i) {
        ASSERT_EQ(wrapped[i], data[i] ^ ref.t[i]) << i;
    }
    EXPECT_EQ(wrapped, ref.encrypt(0, data));
    // The pattern repeats every 16 sectors, and only then.
    EXPECT_EQ(vol.encrypt(512 + 16 * 512, data), stored);
    EXPECT_NE(vol.encrypt(1024, data), stored);
}

TEST(DiskRWTransform, RunsAtManyOffsetsAndLengthsMatchReferenceAndRoundTrip)
{
    std::mt19937 rng(4);
    Bytes key = manager_key(rng);
    Reference ref(key);
    Volume vol(key);
    // Runs that start anywhere in the table period, cross its end and the 16-sector groups.
    for (int trial = 0; trial < 200; ++trial) {
        long long sector = (long long)(rng() % 100000);
        size_t sectors = 1 + rng() % 40;
        long long x0 = 512 + 512 * sector;
        Bytes data = random_bytes(rng, 512 * sectors);
        Bytes stored = vol.encrypt(x0, data);
        ASSERT_EQ(stored, ref.encrypt(x0, data)) << "offset " << x0 << " sectors " << sectors;
        ASSERT_EQ(vol.decrypt(x0, stored), data);
    }
    // Decryption stands on its own: a run read back in pieces decrypts piece by piece.
    Bytes data = random_bytes(rng, 512 * 37);
    Bytes stored = ref.encrypt(512 * 5, data);
    for (size_t s = 0; s < 37; s += 7) {
        size_t n = std::min<size_t>(7, 37 - s);
        Bytes piece(stored.begin() + 512 * s, stored.begin() + 512 * (s + n));
        Bytes expected(data.begin() + 512 * s, data.begin() + 512 * (s + n));
        EXPECT_EQ(vol.decrypt(512 * (5 + (long long)s), piece), expected) << s;
    }
}

TEST(DiskRWTransform, WordRuleForOffsetsOffTheWordGridAndNegativeOffsets)
{
    std::mt19937 rng(5);
    Bytes key = manager_key(rng);
    Reference ref(key);
    Volume vol(key);
    Bytes data = random_bytes(rng, 1024);
    for (long long x0 : {514LL, 8191LL, 8190LL, -512LL, -1LL, -8192LL * 3 + 4}) {
        EXPECT_EQ(vol.encrypt(x0, data), ref.encrypt(x0, data)) << x0;
        EXPECT_EQ(vol.decrypt(x0, vol.encrypt(x0, data)), data) << x0;
    }
    // Off the grid, a byte meets the table word of its word index, not T[X mod 8192].
    Bytes stored = vol.encrypt(514, data);
    EXPECT_EQ(stored[20], data[20] ^ ref.t[512 + 20]);
}

} // namespace
