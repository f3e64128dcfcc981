#include "diskrw.h"

#include <string.h>

#include "algorithm_md5.h"

namespace {

constexpr ULONG kTableWords = DISKRW_TABLE_SIZE / 4;
constexpr ULONG kSectorWords = DISKRW_SECTOR_SIZE / 4;
// Sectors transformed together: one period of the table, small enough to stay in L1 between
// the XOR pass and the cipher pass.
constexpr ULONG kGroupSectors = DISKRW_TABLE_SIZE / DISKRW_SECTOR_SIZE;

typedef UCHAR bytes16 __attribute__((vector_size(16)));

// Bytewise XOR of n bytes (a multiple of 4). XORing whole words is the same as XORing their
// bytes, so the 16-byte vectors give the word rule exactly whatever the alignment.
inline VOID xor_bytes(PUCHAR dst, const UCHAR* src, ULONG n)
{
    ULONG i = 0;
    for (; i + 64 <= n; i += 64) {
        bytes16 d[4], s[4];
        memcpy(d, dst + i, 64);
        memcpy(s, src + i, 64);
        for (int k = 0; k < 4; ++k) {
            d[k] ^= s[k];
        }
        memcpy(dst + i, d, 64);
    }
    for (; i < n; i += 4) {
        ULONG d, s;
        memcpy(&d, dst + i, 4);
        memcpy(&s, src + i, 4);
        d ^= s;
        memcpy(dst + i, &d, 4);
    }
}

// XOR of `words` words starting at table word `index`, split where the table ends rather than
// wrapping per word, so each piece is one straight vector loop. Returns the next index.
inline ULONG xor_with_table(PUCHAR buf, ULONG words, const UCHAR* table, ULONG index)
{
    while (words != 0) {
        ULONG run = kTableWords - index;
        if (run > words) {
            run = words;
        }
        xor_bytes(buf, table + 4 * index, 4 * run);
        buf += 4 * run;
        words -= run;
        index = (index + run) % kTableWords;
    }
    return index;
}

inline ULONG first_table_word(LONGLONG fileOffset)
{
    // The low bits of the two's-complement value are the non-negative residue.
    return (ULONG)(((ULONGLONG)fileOffset % DISKRW_TABLE_SIZE) / 4);
}

} // namespace

VOID DeriveVolumeKeyMaterial(const UCHAR* Key, ULONG KeyLength, PBLOWFISH_CTX BlowFish,
                             PUCHAR EncryptSectors)
{
    UCHAR digest[MD5_DIGEST_LENGTH_BYTES];
    MD5Digest(Key, KeyLength, digest);

    UCHAR key[8 * MD5_DIGEST_LENGTH_BYTES];
    for (int row = 0; row < 8; ++row) {
        UCHAR t = (UCHAR)(digest[2 * row] + digest[2 * row + 1]);
        for (int j = 0; j < MD5_DIGEST_LENGTH_BYTES; ++j) {
            key[row * MD5_DIGEST_LENGTH_BYTES + j] = digest[j] ^ t;
        }
    }
    BlowFish_Init(BlowFish, key, sizeof(key));

    for (int row = 0; row < DISKRW_TABLE_SIZE / (int)sizeof(key); ++row) {
        UCHAR u = (UCHAR)(key[2 * row] + key[2 * row + 1]);
        for (int j = 0; j < (int)sizeof(key); ++j) {
            EncryptSectors[row * sizeof(key) + j] = key[j] ^ u;
        }
    }
    SecureZeroBytes(digest, sizeof(digest));
    SecureZeroBytes(key, sizeof(key));
}

VOID DiskRW_EncryptRun(const BLOWFISH_CTX* BlowFish, const UCHAR* EncryptSectors,
                       LONGLONG FileOffset, PUCHAR Buffer, ULONG Length)
{
    ULONG index = first_table_word(FileOffset);
    ULONG sectors = Length / DISKRW_SECTOR_SIZE;
    // XOR then cipher one group at a time, so a long run is walked through memory once.
    for (ULONG done = 0; done < sectors;) {
        ULONG n = sectors - done < kGroupSectors ? sectors - done : kGroupSectors;
        PUCHAR group = Buffer + (SIZE_T)done * DISKRW_SECTOR_SIZE;
        index = xor_with_table(group, n * kSectorWords, EncryptSectors, index);
        BlowFish_EncryptHeads(BlowFish, group, n, DISKRW_SECTOR_SIZE);
        done += n;
    }
    ULONG tailWords = (Length % DISKRW_SECTOR_SIZE) / 4;
    xor_with_table(Buffer + (SIZE_T)sectors * DISKRW_SECTOR_SIZE, tailWords, EncryptSectors, index);
}

VOID DiskRW_DecryptRun(const BLOWFISH_CTX* BlowFish, const UCHAR* EncryptSectors,
                       LONGLONG FileOffset, PUCHAR Buffer, ULONG Length)
{
    ULONG index = first_table_word(FileOffset);
    ULONG sectors = Length / DISKRW_SECTOR_SIZE;
    for (ULONG done = 0; done < sectors;) {
        ULONG n = sectors - done < kGroupSectors ? sectors - done : kGroupSectors;
        PUCHAR group = Buffer + (SIZE_T)done * DISKRW_SECTOR_SIZE;
        BlowFish_DecryptHeads(BlowFish, group, n, DISKRW_SECTOR_SIZE);
        index = xor_with_table(group, n * kSectorWords, EncryptSectors, index);
        done += n;
    }
    ULONG tailWords = (Length % DISKRW_SECTOR_SIZE) / 4;
    xor_with_table(Buffer + (SIZE_T)sectors * DISKRW_SECTOR_SIZE, tailWords, EncryptSectors, index);
}
