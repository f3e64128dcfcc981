#include "algorithm_md5.h"

#include <string.h>

namespace {

// floor(|sin(i + 1)| * 2^32), the additive constants of the 64 steps.
const ULONG kSineTable[64] = {
    0xD76AA478, 0xE8C7B756, 0x242070DB, 0xC1BDCEEE, 0xF57C0FAF, 0x4787C62A, 0xA8304613, 0xFD469501,
    0x698098D8, 0x8B44F7AF, 0xFFFF5BB1, 0x895CD7BE, 0x6B901122, 0xFD987193, 0xA679438E, 0x49B40821,
    0xF61E2562, 0xC040B340, 0x265E5A51, 0xE9B6C7AA, 0xD62F105D, 0x02441453, 0xD8A1E681, 0xE7D3FBC8,
    0x21E1CDE6, 0xC33707D6, 0xF4D50D87, 0x455A14ED, 0xA9E3E905, 0xFCEFA3F8, 0x676F02D9, 0x8D2A4C8A,
    0xFFFA3942, 0x8771F681, 0x6D9D6122, 0xFDE5380C, 0xA4BEEA44, 0x4BDECFA9, 0xF6BB4B60, 0xBEBFBC70,
    0x289B7EC6, 0xEAA127FA, 0xD4EF3085, 0x04881D05, 0xD9D4D039, 0xE6DB99E5, 0x1FA27CF8, 0xC4AC5665,
    0xF4292244, 0x432AFF97, 0xAB9423A7, 0xFC93A039, 0x655B59C3, 0x8F0CCC92, 0xFFEFF47D, 0x85845DD1,
    0x6FA87E4F, 0xFE2CE6E0, 0xA3014314, 0x4E0811A1, 0xF7537E82, 0xBD3AF235, 0x2AD7D2BB, 0xEB86D391,
};

const UCHAR kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline ULONG rotl(ULONG x, int n)
{
    return (x << n) | (x >> (32 - n));
}

VOID transform(ULONG state[4], const UCHAR block[64])
{
    ULONG x[16];
    for (int i = 0; i < 16; ++i) {
        const UCHAR* p = block + 4 * i;
        x[i] = (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
    }
    ULONG a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        ULONG f;
        int g;
        switch (i / 16) {
        case 0:
            f = (b & c) | (~b & d);
            g = i;
            break;
        case 1:
            f = (b & d) | (c & ~d);
            g = (5 * i + 1) % 16;
            break;
        case 2:
            f = b ^ c ^ d;
            g = (3 * i + 5) % 16;
            break;
        default:
            f = c ^ (b | ~d);
            g = (7 * i) % 16;
            break;
        }
        ULONG rotated = rotl(a + f + kSineTable[i] + x[g], kShift[i / 16][i % 4]);
        a = d;
        d = c;
        c = b;
        b += rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    SecureZeroBytes(x, sizeof(x));
}

} // namespace

VOID SecureZeroBytes(PVOID Buffer, SIZE_T Length)
{
    volatile UCHAR* p = (volatile UCHAR*)Buffer;
    while (Length-- != 0) {
        *p++ = 0;
    }
}

VOID MD5Init(PMD5_CONTEXT Context)
{
    Context->State[0] = 0x67452301;
    Context->State[1] = 0xEFCDAB89;
    Context->State[2] = 0x98BADCFE;
    Context->State[3] = 0x10325476;
    Context->ByteCount = 0;
}

VOID MD5Update(PMD5_CONTEXT Context, const UCHAR* Data, ULONG Length)
{
    ULONG used = (ULONG)(Context->ByteCount % 64);
    Context->ByteCount += Length;
    if (used != 0) {
        ULONG take = 64 - used < Length ? 64 - used : Length;
        memcpy(Context->Block + used, Data, take);
        Data += take;
        Length -= take;
        if (used + take < 64) {
            return;
        }
        transform(Context->State, Context->Block);
    }
    for (; Length >= 64; Data += 64, Length -= 64) {
        transform(Context->State, Data);
    }
    if (Length != 0) {
        memcpy(Context->Block, Data, Length);
    }
}

VOID MD5Final(PUCHAR Digest, PMD5_CONTEXT Context)
{
    ULONGLONG bits = Context->ByteCount * 8;
    static const UCHAR kPadding[64] = {0x80};
    ULONG used = (ULONG)(Context->ByteCount % 64);
    // Pad to 56 mod 64, leaving room for the 64-bit length.
    MD5Update(Context, kPadding, used < 56 ? 56 - used : 120 - used);
    UCHAR length[8];
    for (int i = 0; i < 8; ++i) {
        length[i] = (UCHAR)(bits >> (8 * i));
    }
    MD5Update(Context, length, sizeof(length));
    for (int i = 0; i < 4; ++i) {
        for (int k = 0; k < 4; ++k) {
            Digest[4 * i + k] = (UCHAR)(Context->State[i] >> (8 * k));
        }
    }
    SecureZeroBytes(Context, sizeof(*Context));
}

VOID MD5Digest(const UCHAR* Data, ULONG Length, PUCHAR Digest)
{
    MD5_CONTEXT context;
    MD5Init(&context);
    MD5Update(&context, Data, Length);
    MD5Final(Digest, &context);
}
