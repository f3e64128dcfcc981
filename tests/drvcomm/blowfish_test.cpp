// Blowfish in the driver's byte order, checked against published vectors and OpenSSL.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "algorithm_blowfish.h"

namespace {

using Bytes = std::vector<UCHAR>;

Bytes from_hex(const std::string& hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back((UCHAR)std::stoul(hex.substr(i, 2), nullptr, 16));
    }
    return out;
}

// The driver reads each 32-bit word little-endian, the published cipher big-endian.
void reverse_words(UCHAR* p, size_t n)
{
    for (size_t i = 0; i + 4 <= n; i += 4) {
        std::swap(p[i], p[i + 3]);
        std::swap(p[i + 1], p[i + 2]);
    }
}

BLOWFISH_CTX make_ctx(const Bytes& key)
{
    BLOWFISH_CTX ctx;
    BlowFish_Init(&ctx, key.data(), (ULONG)key.size());
    return ctx;
}

// OpenSSL's ECB over whole blocks, converted to the driver's byte order.
Bytes openssl_ecb(const Bytes& key, Bytes data, int direction)
{
    BF_KEY bf;
    BF_set_key(&bf, (int)key.size(), key.data());
    reverse_words(data.data(), data.size());
    for (size_t i = 0; i + 8 <= data.size(); i += 8) {
        BF_ecb_encrypt(data.data() + i, data.data() + i, &bf, direction);
    }
    reverse_words(data.data(), data.size());
    return data;
}

Bytes random_bytes(std::mt19937& rng, size_t n)
{
    Bytes out(n);
    for (auto& b : out) {
        b = (UCHAR)rng();
    }
    return out;
}

struct Vector {
    const char* key;
    const char* clear;
    const char* cipher;
};

// Eric Young's single-block vectors for the standard cipher (big-endian words).
const Vector kVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

TEST(BlowFish, PublishedVectorsWithWordByteReversal)
{
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.key);
        BLOWFISH_CTX ctx = make_ctx(from_hex(v.key));
        Bytes block = from_hex(v.clear);
        reverse_words(block.data(), block.size());
        ULONG length = 8;
        BlowFish_Encrypt(&ctx, block.data(), &length);
        EXPECT_EQ(length, 8u);
        reverse_words(block.data(), block.size());
        EXPECT_EQ(block, from_hex(v.cipher));

        reverse_words(block.data(), block.size());
        BlowFish_Decrypt(&ctx, block.data(), 8);
        reverse_words(block.data(), block.size());
        EXPECT_EQ(block, from_hex(v.clear));
    }
}

TEST(BlowFish, BlockRoutinesTakeWordsAsTheHalves)
{
    // Vector 7: the halves as numbers are the big-endian words of the published bytes.
    BLOWFISH_CTX ctx = make_ctx(from_hex("FEDCBA9876543210"));
    ULONG left = 0x01234567, right = 0x89ABCDEF;
    BlowFish_EncryptBlock(&ctx, &left, &right);
    EXPECT_EQ(left, 0x0ACEAB0Fu);
    EXPECT_EQ(right, 0xC6A0A28Du);
    BlowFish_DecryptBlock(&ctx, &left, &right);
    EXPECT_EQ(left, 0x01234567u);
    EXPECT_EQ(right, 0x89ABCDEFu);
}

// OpenSSL also uses only the first 72 key bytes and repeats shorter keys, so matching it over
// every length from 1 to 128 covers the key walk.
TEST(BlowFish, MatchesOpenSslForRandomKeysOfEveryLength)
{
    std::mt19937 rng(20261209);
    for (ULONG keyLength = 1; keyLength <= 128; ++keyLength) {
        SCOPED_TRACE(keyLength);
        Bytes key = random_bytes(rng, keyLength);
        BLOWFISH_CTX ctx = make_ctx(key);
        // Odd block counts exercise the paths that do not fill a whole group of lanes.
        Bytes data = random_bytes(rng, 8 * (1 + keyLength % 11));
        Bytes encrypted = data;
        ULONG length = (ULONG)encrypted.size();
        BlowFish_Encrypt(&ctx, encrypted.data(), &length);
        ASSERT_EQ(encrypted, openssl_ecb(key, data, BF_ENCRYPT));

        Bytes decrypted = encrypted;
        BlowFish_Decrypt(&ctx, decrypted.data(), (ULONG)decrypted.size());
        ASSERT_EQ(decrypted, data);
        Bytes direct = data;
        BlowFish_Decrypt(&ctx, direct.data(), (ULONG)direct.size());
        ASSERT_EQ(direct, openssl_ecb(key, data, BF_DECRYPT));
    }
}

TEST(BlowFish, EmptyKeyIsTheStandardTablesExpandedWithoutKeyBytes)
{
    // No key bytes is the same as any all-zero key: P XOR 0.
    BLOWFISH_CTX empty;
    BlowFish_Init(&empty, nullptr, 0);
    BLOWFISH_CTX zeros = make_ctx(Bytes(8, 0));
    EXPECT_EQ(0, memcmp(&empty, &zeros, sizeof(empty)));
}

TEST(BlowFish, EncryptPadsPartialBlocksAndTouchesNothingBeyond)
{
    std::mt19937 rng(3);
    Bytes key = random_bytes(rng, 16);
    BLOWFISH_CTX ctx = make_ctx(key);

    Bytes data = random_bytes(rng, 16);
    Bytes buffer = data;
    buffer.resize(24, 0xEE);
    ULONG length = 16;
    BlowFish_Encrypt(&ctx, buffer.data(), &length);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 16), openssl_ecb(key, data, BF_ENCRYPT));
    EXPECT_EQ(Bytes(buffer.begin() + 16, buffer.end()), Bytes(8, 0xEE));

    // 13 bytes: three zero bytes are appended and two whole blocks encrypted.
    buffer = Bytes(data.begin(), data.begin() + 13);
    buffer.resize(24, 0xEE);
    length = 13;
    BlowFish_Encrypt(&ctx, buffer.data(), &length);
    EXPECT_EQ(length, 16u);
    Bytes padded(data.begin(), data.begin() + 13);
    padded.resize(16, 0);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 16), openssl_ecb(key, padded, BF_ENCRYPT));
    EXPECT_EQ(Bytes(buffer.begin() + 16, buffer.end()), Bytes(8, 0xEE));

    for (ULONG n : {1u, 7u, 9u, 15u}) {
        Bytes b(n + 8, 0xEE);
        ULONG len = n;
        BlowFish_Encrypt(&ctx, b.data(), &len);
        EXPECT_EQ(len, (n + 7) / 8 * 8) << n;
        EXPECT_EQ(b[len], 0xEE) << n;
    }
}

TEST(BlowFish, DecryptOfPartialLengthIsRefused)
{
    BLOWFISH_CTX ctx = make_ctx(Bytes{1, 2, 3});
    Bytes buffer(13, 0x42);
#if defined(LOCKBIN_CHECKED)
    // A caller passing a partial length is a driver bug: the checked build stops on it.
    EXPECT_DEATH(BlowFish_Decrypt(&ctx, buffer.data(), 13), "NBytes%8 == 0x0");
#else
    BlowFish_Decrypt(&ctx, buffer.data(), 13);
#endif
    EXPECT_EQ(buffer, Bytes(13, 0x42));
}

TEST(BlowFish, HeadsAreTheFirstSixteenBytesOfEachRecord)
{
    std::mt19937 rng(5);
    Bytes key = random_bytes(rng, 128);
    BLOWFISH_CTX ctx = make_ctx(key);
    for (ULONG stride : {16u, 24u, 512u}) {
        for (ULONG count = 0; count <= 9; ++count) {
            SCOPED_TRACE(testing::Message() << "stride " << stride << " count " << count);
            Bytes data = random_bytes(rng, (size_t)stride * count + 8);
            Bytes buffer = data;
            BlowFish_EncryptHeads(&ctx, buffer.data(), count, stride);

            Bytes expected = data;
            for (ULONG rec = 0; rec < count; ++rec) {
                UCHAR* head = expected.data() + (size_t)rec * stride;
                Bytes enc = openssl_ecb(key, Bytes(head, head + 16), BF_ENCRYPT);
                memcpy(head, enc.data(), 16);
            }
            ASSERT_EQ(buffer, expected);

            BlowFish_DecryptHeads(&ctx, buffer.data(), count, stride);
            ASSERT_EQ(buffer, data);
        }
    }
}

} // namespace
