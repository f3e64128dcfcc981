// MD5 against the RFC 1321 test suite and OpenSSL.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "algorithm_md5.h"

namespace {

std::string hex(const UCHAR* p, size_t n)
{
    std::string out;
    char two[3];
    for (size_t i = 0; i < n; ++i) {
        snprintf(two, sizeof(two), "%02x", p[i]);
        out += two;
    }
    return out;
}

std::string md5_hex(const std::string& s)
{
    UCHAR digest[16];
    MD5Digest((const UCHAR*)s.data(), (ULONG)s.size(), digest);
    return hex(digest, 16);
}

TEST(MD5, Rfc1321TestSuite)
{
    struct Case {
        const char* input;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(md5_hex(c.input), c.digest) << '"' << c.input << '"';
    }
}

TEST(MD5, MatchesOpenSslAcrossBlockBoundariesAndSplitUpdates)
{
    std::mt19937 rng(1321);
    // Lengths around the 56- and 64-byte padding boundaries plus random larger ones.
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 130; ++n) {
        lengths.push_back(n);
    }
    for (int i = 0; i < 40; ++i) {
        lengths.push_back(rng() % 5000);
    }
    for (size_t n : lengths) {
        std::vector<UCHAR> data(n);
        for (auto& b : data) {
            b = (UCHAR)rng();
        }
        UCHAR expected[16];
        MD5(data.data(), data.size(), expected);

        UCHAR oneShot[16];
        MD5Digest(data.data(), (ULONG)n, oneShot);
        ASSERT_EQ(hex(oneShot, 16), hex(expected, 16)) << n;

        // The same input fed in uneven pieces.
        MD5_CONTEXT ctx;
        MD5Init(&ctx);
        size_t at = 0;
        while (at < n) {
            size_t piece = std::min<size_t>(n - at, 1 + rng() % 70);
            MD5Update(&ctx, data.data() + at, (ULONG)piece);
            at += piece;
        }
        UCHAR pieces[17];
        pieces[16] = 0xA5;
        MD5Final(pieces, &ctx);
        ASSERT_EQ(hex(pieces, 16), hex(expected, 16)) << n;
        EXPECT_EQ(pieces[16], 0xA5);
    }
}

TEST(MD5, FinalWipesTheWorkingContext)
{
    MD5_CONTEXT ctx;
    MD5Init(&ctx);
    const UCHAR secret[40] = {0x11, 0x22, 0x33};
    MD5Update(&ctx, secret, sizeof(secret));
    UCHAR digest[16];
    MD5Final(digest, &ctx);
    const UCHAR* raw = (const UCHAR*)&ctx;
    EXPECT_EQ(std::vector<UCHAR>(raw, raw + sizeof(ctx)), std::vector<UCHAR>(sizeof(ctx), 0));
}

} // namespace
