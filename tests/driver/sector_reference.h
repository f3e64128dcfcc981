// A slow reference of the sector transform for tests: OpenSSL's MD5 and Blowfish and a
// byte-by-byte XOR, written from the definition of the key material, not from the driver's code.
#pragma once

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#include <openssl/md5.h>

#include <cstring>
#include <vector>

namespace sector_reference {

using Bytes = std::vector<unsigned char>;

struct Reference {
    Bytes k = Bytes(128);
    Bytes t = Bytes(8192);
    BF_KEY bf;

    explicit Reference(const Bytes& mountKey)
    {
        unsigned char d[16];
        MD5(mountKey.data(), mountKey.size(), d);
        for (int i = 0; i < 128; ++i) {
            k[i] = d[i % 16] ^ (unsigned char)(d[2 * (i / 16)] + d[2 * (i / 16) + 1]);
        }
        for (int i = 0; i < 8192; ++i) {
            t[i] = k[i % 128] ^ (unsigned char)(k[2 * (i / 128)] + k[2 * (i / 128) + 1]);
        }
        BF_set_key(&bf, 128, k.data());
    }

    // The table byte that meets run byte i: words are taken from T starting at word
    // (X0 mod 8192) / 4, so for X0 a multiple of 4 this is T[(X0 + i) mod 8192].
    unsigned char table_byte(long long x0, size_t i) const
    {
        long long start = ((x0 % 8192) + 8192) % 8192 / 4 * 4;
        return t[(size_t)(start + (long long)i) % 8192];
    }

    void cipher_block(unsigned char* p, int direction) const
    {
        unsigned char be[8] = {p[3], p[2], p[1], p[0], p[7], p[6], p[5], p[4]};
        BF_ecb_encrypt(be, be, &bf, direction);
        const unsigned char le[8] = {be[3], be[2], be[1], be[0], be[7], be[6], be[5], be[4]};
        memcpy(p, le, 8);
    }

    Bytes encrypt(long long x0, Bytes data) const
    {
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] ^= table_byte(x0, i);
        }
        for (size_t s = 0; s + 512 <= data.size(); s += 512) {
            cipher_block(&data[s], BF_ENCRYPT);
            cipher_block(&data[s + 8], BF_ENCRYPT);
        }
        return data;
    }
};

} // namespace sector_reference
