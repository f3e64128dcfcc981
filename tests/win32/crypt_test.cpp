#include "windows.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<BYTE> openssl_sha1(const void* data, size_t size)
{
    std::vector<BYTE> out(SHA_DIGEST_LENGTH);
    SHA1(static_cast<const unsigned char*>(data), size, out.data());
    return out;
}

struct Context {
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    Context()
    {
        EXPECT_TRUE(CryptAcquireContextW(&prov, nullptr, MS_DEF_PROV_W, PROV_RSA_FULL,
                                         CRYPT_VERIFYCONTEXT));
        EXPECT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
    }
    ~Context()
    {
        CryptDestroyHash(hash);
        CryptReleaseContext(prov, 0);
    }
};

TEST(CryptoApi, Sha1MatchesAnIndependentImplementation)
{
    std::string million(1000000, 'a');
    const std::vector<std::string> inputs = {"abc", std::string(64, 'x'), million,
                                             std::string("\0\1\2", 3)};
    for (const auto& input : inputs) {
        Context c;
        // Fed in uneven pieces: the result must not depend on how the data arrives.
        for (size_t at = 0; at < input.size(); at += 777) {
            size_t n = std::min<size_t>(777, input.size() - at);
            ASSERT_TRUE(CryptHashData(c.hash, reinterpret_cast<const BYTE*>(input.data() + at),
                                      DWORD(n), 0));
        }
        BYTE digest[20];
        DWORD len = sizeof digest;
        ASSERT_TRUE(CryptGetHashParam(c.hash, HP_HASHVAL, digest, &len, 0));
        EXPECT_EQ(len, 20u);
        EXPECT_EQ(std::vector<BYTE>(digest, digest + 20), openssl_sha1(input.data(), input.size()));
    }
}

TEST(CryptoApi, HashParameterLengthRules)
{
    Context c;
    ASSERT_TRUE(CryptHashData(c.hash, reinterpret_cast<const BYTE*>("abc"), 3, 0));
    DWORD len = 0;
    ASSERT_TRUE(CryptGetHashParam(c.hash, HP_HASHVAL, nullptr, &len, 0));
    EXPECT_EQ(len, 20u) << "a null buffer asks for the size";

    BYTE small[19];
    std::memset(small, 0xAA, sizeof small);
    len = sizeof small;
    EXPECT_FALSE(CryptGetHashParam(c.hash, HP_HASHVAL, small, &len, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(len, 20u);
    for (BYTE b : small)
        ASSERT_EQ(b, 0xAA) << "nothing written into a short buffer";
    // A short read does not end the hashing.
    ASSERT_TRUE(CryptHashData(c.hash, reinterpret_cast<const BYTE*>("d"), 1, 0));

    BYTE big[32];
    len = sizeof big;
    ASSERT_TRUE(CryptGetHashParam(c.hash, HP_HASHVAL, big, &len, 0));
    EXPECT_EQ(len, 20u);
    EXPECT_EQ(std::vector<BYTE>(big, big + 20), openssl_sha1("abcd", 4));
    EXPECT_FALSE(CryptHashData(c.hash, reinterpret_cast<const BYTE*>("e"), 1, 0));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_HASH_STATE));
    BYTE again[20];
    len = 20;
    ASSERT_TRUE(CryptGetHashParam(c.hash, HP_HASHVAL, again, &len, 0));
    EXPECT_EQ(0, std::memcmp(again, big, 20)) << "the value can be read again";

    DWORD size = 0;
    len = sizeof size;
    ASSERT_TRUE(CryptGetHashParam(c.hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &len, 0));
    EXPECT_EQ(size, 20u);
    ALG_ID alg = 0;
    len = sizeof alg;
    ASSERT_TRUE(CryptGetHashParam(c.hash, HP_ALGID, reinterpret_cast<BYTE*>(&alg), &len, 0));
    EXPECT_EQ(alg, ALG_ID(CALG_SHA1));
    EXPECT_FALSE(CryptGetHashParam(c.hash, 99, big, &len, 0));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_TYPE));
}

TEST(CryptoApi, RefusesWhatThisProviderDoesNotOffer)
{
    HCRYPTPROV prov = 0;
    EXPECT_FALSE(CryptAcquireContextW(&prov, nullptr, u"No Such Provider", PROV_RSA_FULL,
                                      CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), DWORD(NTE_KEYSET_NOT_DEF));
    EXPECT_FALSE(CryptAcquireContextW(&prov, nullptr, MS_DEF_PROV_W, 24, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(GetLastError(), DWORD(NTE_PROV_TYPE_NO_MATCH));
    EXPECT_FALSE(CryptAcquireContextW(&prov, u"container", MS_DEF_PROV_W, PROV_RSA_FULL, 0));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_KEYSET));

    ASSERT_TRUE(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    HCRYPTHASH hash = 0;
    EXPECT_FALSE(CryptCreateHash(prov, CALG_MD5, 0, 0, &hash));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_ALGID));
    EXPECT_FALSE(CryptCreateHash(prov, CALG_SHA1, 0, 1, &hash));
    EXPECT_EQ(GetLastError(), DWORD(NTE_BAD_FLAGS));
    ASSERT_TRUE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
    ASSERT_TRUE(CryptReleaseContext(prov, 0));
    EXPECT_FALSE(CryptReleaseContext(prov, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(CryptHashData(hash, reinterpret_cast<const BYTE*>("x"), 1, 0))
        << "a hash outlives its released context";
    EXPECT_TRUE(CryptDestroyHash(hash));
    EXPECT_FALSE(CryptDestroyHash(hash));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

} // namespace
