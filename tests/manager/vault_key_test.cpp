#include "vault_key.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <vector>

namespace {

VaultKey expected_block(const std::vector<BYTE>& utf16le)
{
    VaultKey block{};
    SHA1(utf16le.data(), utf16le.size(), block.data());
    return block;
}

VaultKey derive(const std::u16string& password)
{
    VaultKey key;
    key.fill(0xEE);
    DWORD length = 0;
    EXPECT_TRUE(MakeVaultKey(password, key, length));
    EXPECT_EQ(length, 128u) << "the driver is always sent the whole block";
    return key;
}

TEST(VaultKey, IsSha1OfTheUtf16LeBytesPaddedWithZeros)
{
    // Bytes written out by hand, so the test does not share the code's encoding.
    EXPECT_EQ(derive(u"Ab1"), expected_block({'A', 0, 'b', 0, '1', 0}));
    EXPECT_EQ(derive(u"密码"), expected_block({0xC6, 0x5B, 0x01, 0x78}));
    // U+1D11E outside the BMP: its two surrogates, four bytes.
    EXPECT_EQ(derive(u"\U0001D11E"), expected_block({0x34, 0xD8, 0x1E, 0xDD}));

    VaultKey k = derive(u"correct horse");
    EXPECT_TRUE(std::all_of(k.begin() + 20, k.end(), [](BYTE b) { return b == 0; }));
    EXPECT_EQ(derive(u"correct horse"), k) << "no salt: the same password, the same block";
    EXPECT_NE(derive(u"Correct horse"), k) << "letter case counts";
    EXPECT_NE(derive(u"correct horse "), k) << "nothing is trimmed";
}

TEST(VaultKey, RefusesBadArgumentsWithoutTouchingTheBuffer)
{
    const BYTE input[] = {'p', 0};
    BYTE out[32];
    std::fill(std::begin(out), std::end(out), BYTE(0xAA));
    auto untouched = [&] {
        return std::all_of(std::begin(out), std::end(out), [](BYTE b) { return b == 0xAA; });
    };

    DWORD capacity = 19;
    EXPECT_FALSE(DeriveVaultKey(input, 2, out, &capacity));
    EXPECT_EQ(capacity, 19u);
    EXPECT_TRUE(untouched());
    capacity = 32;
    EXPECT_FALSE(DeriveVaultKey(nullptr, 2, out, &capacity));
    EXPECT_FALSE(DeriveVaultKey(input, 0, out, &capacity));
    EXPECT_FALSE(DeriveVaultKey(input, 2, nullptr, &capacity));
    EXPECT_FALSE(DeriveVaultKey(input, 2, out, nullptr));
    EXPECT_TRUE(untouched());

    capacity = 20;
    ASSERT_TRUE(DeriveVaultKey(input, 2, out, &capacity));
    EXPECT_EQ(capacity, 20u);
    EXPECT_EQ(out[20], 0xAA) << "only the digest is written";

    VaultKey key;
    DWORD length = 0;
    EXPECT_FALSE(MakeVaultKey(u"", key, length)) << "an empty password derives nothing";
}

} // namespace
