#include "vault_key.h"

#include <vector>

namespace {

// Releases the hash and the context on every way out of the derivation.
struct CryptGuard {
    HCRYPTPROV prov = 0;
    HCRYPTHASH hash = 0;
    ~CryptGuard()
    {
        if (hash)
            CryptDestroyHash(hash);
        if (prov)
            CryptReleaseContext(prov, 0);
    }
};

} // namespace

bool DeriveVaultKey(const BYTE* input, DWORD inputLength, BYTE* output, DWORD* outputLength)
{
    if (!input || inputLength == 0 || !output || !outputLength ||
        *outputLength < VaultKeyDigestSize)
        return false;
    CryptGuard g;
    if (!CryptAcquireContextW(&g.prov, nullptr, MS_DEF_PROV_W, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        return false;
    if (!CryptCreateHash(g.prov, CALG_SHA1, 0, 0, &g.hash))
        return false;
    if (!CryptHashData(g.hash, input, inputLength, 0))
        return false;
    return CryptGetHashParam(g.hash, HP_HASHVAL, output, outputLength, 0);
}

bool MakeVaultKey(const std::u16string& password, VaultKey& key, DWORD& keyLength)
{
    key.fill(0);
    keyLength = VaultKeySize;
    // Little-endian code units, whatever the host's byte order.
    std::vector<BYTE> bytes;
    bytes.reserve(password.size() * 2);
    for (char16_t c : password) {
        bytes.push_back(BYTE(c & 0xFF));
        bytes.push_back(BYTE(c >> 8));
    }
    DWORD length = keyLength;
    return DeriveVaultKey(bytes.data(), DWORD(bytes.size()), key.data(), &length);
}
