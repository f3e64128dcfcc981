// The CryptoAPI subset: SHA-1 hashing through a verify-only context.
#pragma once

#include "windef.h"

typedef ULONG_PTR HCRYPTPROV;
typedef ULONG_PTR HCRYPTHASH;
typedef ULONG_PTR HCRYPTKEY;
typedef unsigned int ALG_ID;

#define PROV_RSA_FULL 1

#define MS_DEF_PROV_W u"Microsoft Base Cryptographic Provider v1.0"
#define MS_ENHANCED_PROV_W u"Microsoft Enhanced Cryptographic Provider v1.0"
#define MS_STRONG_PROV_W u"Microsoft Strong Cryptographic Provider"

#define CRYPT_VERIFYCONTEXT 0xF0000000u
#define CRYPT_NEWKEYSET 0x00000008
#define CRYPT_SILENT 0x00000040

#define ALG_CLASS_HASH (4 << 13)
#define ALG_TYPE_ANY (0)
#define ALG_SID_MD5 3
#define ALG_SID_SHA1 4
#define CALG_MD5 (ALG_CLASS_HASH | ALG_TYPE_ANY | ALG_SID_MD5)
#define CALG_SHA1 (ALG_CLASS_HASH | ALG_TYPE_ANY | ALG_SID_SHA1)
static_assert(CALG_SHA1 == 0x8004, "CALG_SHA1");

#define HP_ALGID 0x0001
#define HP_HASHVAL 0x0002
#define HP_HASHSIZE 0x0004

#define CRYPT_USERDATA 1

// Only the three RSA_FULL providers (or a null name, meaning the type's default) with
// CRYPT_VERIFYCONTEXT and no key container: there are no key containers here. An unknown
// provider fails with NTE_KEYSET_NOT_DEF, another type with NTE_PROV_TYPE_NO_MATCH (named
// provider) or NTE_PROV_TYPE_NOT_DEF, a container or a missing CRYPT_VERIFYCONTEXT with
// NTE_BAD_KEYSET, other flags with NTE_BAD_FLAGS.
BOOL WINAPI CryptAcquireContextW(HCRYPTPROV* phProv, LPCWSTR szContainer, LPCWSTR szProvider,
                                 DWORD dwProvType, DWORD dwFlags);
// Releasing a context leaves its hash objects usable until they are destroyed.
BOOL WINAPI CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);

// CALG_SHA1 only (NTE_BAD_ALGID otherwise); hKey must be 0 (NTE_BAD_KEY), dwFlags 0
// (NTE_BAD_FLAGS). An unknown context fails with ERROR_INVALID_HANDLE.
BOOL WINAPI CryptCreateHash(HCRYPTPROV hProv, ALG_ID Algid, HCRYPTKEY hKey, DWORD dwFlags,
                            HCRYPTHASH* phHash);
// Fails with NTE_BAD_HASH_STATE once the value has been read.
BOOL WINAPI CryptHashData(HCRYPTHASH hHash, const BYTE* pbData, DWORD dwDataLen, DWORD dwFlags);
// HP_HASHVAL: the 20-byte digest (ends the hashing). HP_HASHSIZE: a DWORD, 20. HP_ALGID: a DWORD,
// CALG_SHA1. A null pbData asks for the size (*pdwDataLen set, TRUE); a buffer smaller than the
// value fails with ERROR_MORE_DATA and sets *pdwDataLen to the size needed, writing nothing.
// Unknown parameters fail with NTE_BAD_TYPE.
BOOL WINAPI CryptGetHashParam(HCRYPTHASH hHash, DWORD dwParam, BYTE* pbData, DWORD* pdwDataLen,
                              DWORD dwFlags);
BOOL WINAPI CryptDestroyHash(HCRYPTHASH hHash);
