#include "algorithm_blowfish.h"

#include <string.h>
#include <wdm.h>

#include "algorithm_blowfish_tables.h"

namespace {

inline ULONG round_f(const BLOWFISH_CTX* ctx, ULONG x)
{
    return ((ctx->S[0][x >> 24] + ctx->S[1][(x >> 16) & 0xFF]) ^ ctx->S[2][(x >> 8) & 0xFF]) +
           ctx->S[3][x & 0xFF];
}

inline ULONG load_le32(const UCHAR* p)
{
    return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}

inline VOID store_le32(PUCHAR p, ULONG v)
{
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
    p[2] = (UCHAR)(v >> 16);
    p[3] = (UCHAR)(v >> 24);
}

// N independent blocks advanced round by round together. One block's rounds form a chain of
// dependent S-box loads; N chains side by side keep the load units busy instead of waiting.
// The swap of the textbook rounds is folded into alternating the roles of l and r.
template <int N> inline VOID encrypt_lanes(const BLOWFISH_CTX* ctx, ULONG (&l)[N], ULONG (&r)[N])
{
#pragma GCC unroll 8
    for (int i = 0; i < 16; i += 2) {
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) {
            l[n] ^= ctx->P[i];
        }
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) {
            r[n] ^= round_f(ctx, l[n]) ^ ctx->P[i + 1];
        }
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) {
            l[n] ^= round_f(ctx, r[n]);
        }
    }
#pragma GCC unroll 8
    for (int n = 0; n < N; ++n) {
        ULONG outLeft = r[n] ^ ctx->P[17];
        r[n] = l[n] ^ ctx->P[16];
        l[n] = outLeft;
    }
}

template <int N> inline VOID decrypt_lanes(const BLOWFISH_CTX* ctx, ULONG (&l)[N], ULONG (&r)[N])
{
#pragma GCC unroll 8
    for (int i = 17; i > 1; i -= 2) {
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) {
            l[n] ^= ctx->P[i];
        }
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) {
            r[n] ^= round_f(ctx, l[n]) ^ ctx->P[i - 1];
        }
#pragma GCC unroll 8
        for (int n = 0; n < N; ++n) {
            l[n] ^= round_f(ctx, r[n]);
        }
    }
#pragma GCC unroll 8
    for (int n = 0; n < N; ++n) {
        ULONG outLeft = r[n] ^ ctx->P[0];
        r[n] = l[n] ^ ctx->P[1];
        l[n] = outLeft;
    }
}

// Blocks handled side by side (the heads of four records). Fewer chains leave the load units
// waiting on the S-box latency; more spill so many halves to the stack that they lose again.
constexpr int kLanes = 8;

// Applies the N-lane cipher to the two 8-byte blocks at the head of each record. The record
// count need not be a multiple of the lane count: the tail runs through narrower lanes.
template <bool Encrypt>
VOID crypt_heads(const BLOWFISH_CTX* ctx, PUCHAR buf, ULONG count, ULONG stride)
{
    constexpr int kRecordsPerStep = kLanes / 2;
    ULONG rec = 0;
    for (; rec + kRecordsPerStep <= count; rec += kRecordsPerStep) {
        ULONG l[kLanes], r[kLanes];
        for (int n = 0; n < kLanes; ++n) {
            const UCHAR* p = buf + (SIZE_T)(rec + n / 2) * stride + (n % 2) * BLOWFISH_BLOCK_SIZE;
            l[n] = load_le32(p);
            r[n] = load_le32(p + 4);
        }
        if (Encrypt) {
            encrypt_lanes<kLanes>(ctx, l, r);
        } else {
            decrypt_lanes<kLanes>(ctx, l, r);
        }
        for (int n = 0; n < kLanes; ++n) {
            PUCHAR p = buf + (SIZE_T)(rec + n / 2) * stride + (n % 2) * BLOWFISH_BLOCK_SIZE;
            store_le32(p, l[n]);
            store_le32(p + 4, r[n]);
        }
    }
    for (; rec < count; ++rec) {
        PUCHAR p = buf + (SIZE_T)rec * stride;
        ULONG l[2] = {load_le32(p), load_le32(p + 8)};
        ULONG r[2] = {load_le32(p + 4), load_le32(p + 12)};
        if (Encrypt) {
            encrypt_lanes<2>(ctx, l, r);
        } else {
            decrypt_lanes<2>(ctx, l, r);
        }
        store_le32(p, l[0]);
        store_le32(p + 4, r[0]);
        store_le32(p + 8, l[1]);
        store_le32(p + 12, r[1]);
    }
}

template <bool Encrypt> VOID crypt_block_at(const BLOWFISH_CTX* ctx, PUCHAR p)
{
    ULONG l[1] = {load_le32(p)};
    ULONG r[1] = {load_le32(p + 4)};
    if (Encrypt) {
        encrypt_lanes<1>(ctx, l, r);
    } else {
        decrypt_lanes<1>(ctx, l, r);
    }
    store_le32(p, l[0]);
    store_le32(p + 4, r[0]);
}

} // namespace

VOID BlowFish_Init(PBLOWFISH_CTX Context, const UCHAR* Key, ULONG KeyLength)
{
    memcpy(Context->S, g_BlowFishInitS, sizeof(Context->S));

    ULONG j = 0;
    for (int i = 0; i < BLOWFISH_P_WORDS; ++i) {
        ULONG data = 0;
        for (int k = 0; k < 4; ++k) {
            data <<= 8;
            if (KeyLength != 0) {
                data |= Key[j];
                if (++j >= KeyLength) {
                    j = 0;
                }
            }
        }
        Context->P[i] = g_BlowFishInitP[i] ^ data;
    }

    ULONG left = 0, right = 0;
    for (int i = 0; i < BLOWFISH_P_WORDS; i += 2) {
        BlowFish_EncryptBlock(Context, &left, &right);
        Context->P[i] = left;
        Context->P[i + 1] = right;
    }
    for (int box = 0; box < BLOWFISH_S_BOXES; ++box) {
        for (int i = 0; i < BLOWFISH_S_WORDS; i += 2) {
            BlowFish_EncryptBlock(Context, &left, &right);
            Context->S[box][i] = left;
            Context->S[box][i + 1] = right;
        }
    }
}

VOID BlowFish_EncryptBlock(const BLOWFISH_CTX* Context, PULONG Left, PULONG Right)
{
    ULONG l[1] = {*Left};
    ULONG r[1] = {*Right};
    encrypt_lanes<1>(Context, l, r);
    *Left = l[0];
    *Right = r[0];
}

VOID BlowFish_DecryptBlock(const BLOWFISH_CTX* Context, PULONG Left, PULONG Right)
{
    ULONG l[1] = {*Left};
    ULONG r[1] = {*Right};
    decrypt_lanes<1>(Context, l, r);
    *Left = l[0];
    *Right = r[0];
}

VOID BlowFish_Encrypt(const BLOWFISH_CTX* Context, PUCHAR Buffer, PULONG Length)
{
    ULONG n = *Length;
    ULONG partial = n % BLOWFISH_BLOCK_SIZE;
    if (partial != 0) {
        memset(Buffer + n, 0, BLOWFISH_BLOCK_SIZE - partial);
        n += BLOWFISH_BLOCK_SIZE - partial;
    }
    // Contiguous blocks taken as 16-byte records with no gap between them.
    crypt_heads<true>(Context, Buffer, n / 16, 16);
    if (n % 16 != 0) {
        crypt_block_at<true>(Context, Buffer + n - BLOWFISH_BLOCK_SIZE);
    }
    *Length = n;
}

VOID BlowFish_Decrypt(const BLOWFISH_CTX* Context, PUCHAR Buffer, ULONG NBytes)
{
    // clang-format off
    ASSERT(NBytes%8 == 0x0);
    // clang-format on
    if (NBytes % BLOWFISH_BLOCK_SIZE != 0) {
        return;
    }
    crypt_heads<false>(Context, Buffer, NBytes / 16, 16);
    if (NBytes % 16 != 0) {
        crypt_block_at<false>(Context, Buffer + NBytes - BLOWFISH_BLOCK_SIZE);
    }
}

VOID BlowFish_EncryptHeads(const BLOWFISH_CTX* Context, PUCHAR Buffer, ULONG Count, ULONG Stride)
{
    crypt_heads<true>(Context, Buffer, Count, Stride);
}

VOID BlowFish_DecryptHeads(const BLOWFISH_CTX* Context, PUCHAR Buffer, ULONG Count, ULONG Stride)
{
    crypt_heads<false>(Context, Buffer, Count, Stride);
}
