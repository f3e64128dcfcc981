// CryptoAPI contexts and SHA-1 hash objects over Crypto++.
#include "errhandlingapi.h"
#include "wincrypt.h"
#include "winerror.h"

#include <cryptopp/sha.h>

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>

namespace {

struct HashObject {
    CryptoPP::SHA1 sha;
    BYTE digest[CryptoPP::SHA1::DIGESTSIZE];
    bool finished = false;
};

struct Objects {
    std::mutex lock;
    std::map<ULONG_PTR, bool> contexts; // the value is unused; presence is what counts
    std::map<ULONG_PTR, std::shared_ptr<HashObject>> hashes;
    ULONG_PTR next = 0x1000;
};

Objects& objects()
{
    static Objects o;
    return o;
}

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

BOOL fail(HRESULT error)
{
    SetLastError(DWORD(error));
    return FALSE;
}

std::shared_ptr<HashObject> find_hash(HCRYPTHASH h)
{
    Objects& o = objects();
    std::lock_guard guard(o.lock);
    auto it = o.hashes.find(h);
    return it == o.hashes.end() ? nullptr : it->second;
}

bool same_name(LPCWSTR a, const char16_t* b)
{
    return std::u16string_view(a) == std::u16string_view(b);
}

} // namespace

BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                 DWORD dwProvType, DWORD dwFlags)
{
    if (!phProv)
        return fail(DWORD(ERROR_INVALID_PARAMETER));
    if (szProvider && *szProvider) {
        if (!same_name(szProvider, MS_DEF_PROV_W) && !same_name(szProvider, MS_ENHANCED_PROV_W) &&
            !same_name(szProvider, MS_STRONG_PROV_W))
            return fail(NTE_KEYSET_NOT_DEF);
        if (dwProvType != PROV_RSA_FULL)
            return fail(NTE_PROV_TYPE_NO_MATCH);
    } else if (dwProvType != PROV_RSA_FULL) {
        return fail(NTE_PROV_TYPE_NOT_DEF);
    }
    if (dwFlags & ~DWORD(CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        return fail(NTE_BAD_FLAGS);
    if (!(dwFlags & CRYPT_VERIFYCONTEXT) || (szContainer && *szContainer))
        return fail(NTE_BAD_KEYSET);
    Objects& o = objects();
    std::lock_guard guard(o.lock);
    ULONG_PTR h = o.next++;
    o.contexts.emplace(h, true);
    *phProv = h;
    return TRUE;
}

BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags)
{
    Objects& o = objects();
    std::lock_guard guard(o.lock);
    if (!o.contexts.erase(hProv))
        return fail(DWORD(ERROR_INVALID_HANDLE));
    if (dwFlags)
        return fail(NTE_BAD_FLAGS);
    return TRUE;
}

BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                            HCRYPTHASH* phHash)
{
    if (!phHash)
        return fail(DWORD(ERROR_INVALID_PARAMETER));
    Objects& o = objects();
    std::lock_guard guard(o.lock);
    if (!o.contexts.count(hProv))
        return fail(DWORD(ERROR_INVALID_HANDLE));
    if (Algid != CALG_SHA1)
        return fail(NTE_BAD_ALGID);
    if (hKey)
        return fail(NTE_BAD_KEY);
    if (dwFlags)
        return fail(NTE_BAD_FLAGS);
    ULONG_PTR h = o.next++;
    o.hashes.emplace(h, std::make_shared<HashObject>());
    *phHash = h;
    return TRUE;
}

BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags)
{
    auto hash = find_hash(hHash);
    if (!hash)
        return fail(DWORD(ERROR_INVALID_HANDLE));
    if (dwFlags & ~DWORD(CRYPT_USERDATA))
        return fail(NTE_BAD_FLAGS);
    if (hash->finished)
        return fail(NTE_BAD_HASH_STATE);
    if (dwDataLen && !pbData)
        return fail(DWORD(ERROR_INVALID_PARAMETER));
    if (dwDataLen)
        hash->sha.Update(pbData, dwDataLen);
    return TRUE;
}

BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                              DWORD dwFlags)
{
    auto hash = find_hash(hHash);
    if (!hash)
        return fail(DWORD(ERROR_INVALID_HANDLE));
    if (dwFlags)
        return fail(NTE_BAD_FLAGS);
    if (!pdwDataLen)
        return fail(DWORD(ERROR_INVALID_PARAMETER));
    DWORD value = 0;
    const BYTE* bytes;
    DWORD size;
    switch (dwParam) {
    case HP_HASHVAL:
        bytes = hash->digest;
        size = DWORD(sizeof hash->digest);
        break;
    case HP_HASHSIZE:
        value = DWORD(sizeof hash->digest);
        bytes = reinterpret_cast<const BYTE*>(&value);
        size = sizeof value;
        break;
    case HP_ALGID:
        value = CALG_SHA1;
        bytes = reinterpret_cast<const BYTE*>(&value);
        size = sizeof value;
        break;
    default:
        return fail(NTE_BAD_TYPE);
    }
    if (!pbData) {
        *pdwDataLen = size;
        return TRUE;
    }
    if (*pdwDataLen < size) {
        *pdwDataLen = size;
        return fail(DWORD(ERROR_MORE_DATA));
    }
    if (dwParam == HP_HASHVAL && !hash->finished) {
        hash->sha.Final(hash->digest);
        hash->finished = true;
    }
    std::memcpy(pbData, bytes, size);
    *pdwDataLen = size;
    return TRUE;
}

BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash)
{
    Objects& o = objects();
    std::lock_guard guard(o.lock);
    if (!o.hashes.erase(hHash))
        return fail(DWORD(ERROR_INVALID_HANDLE));
    return TRUE;
}
