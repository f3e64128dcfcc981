// Blowfish block cipher in the driver's data byte order.
//
// Data blocks are two 32-bit words read little-endian from memory (L from bytes 0..3, R from
// bytes 4..7, byte 0 and byte 4 least significant); key bytes enter most significant first as in
// the published cipher. Reversing the bytes of each 4-byte word of input and output turns this
// cipher into the published one. Every container's sectors are stored in this form, so none of
// this may change.
//
// A context is written only by BlowFish_Init; afterwards any number of threads may encrypt and
// decrypt with it at once. No routine allocates memory; all may run at any IRQL when the context
// and the buffer are non-paged.
#pragma once

#include <ntdef.h>

#define BLOWFISH_P_WORDS 18
#define BLOWFISH_S_BOXES 4
#define BLOWFISH_S_WORDS 256
#define BLOWFISH_BLOCK_SIZE 8

typedef struct _BLOWFISH_CTX {
    ULONG P[BLOWFISH_P_WORDS];
    ULONG S[BLOWFISH_S_BOXES][BLOWFISH_S_WORDS];
} BLOWFISH_CTX, *PBLOWFISH_CTX;
static_assert(sizeof(BLOWFISH_CTX) == 72 + 4096);

// Key expansion. Key bytes are used cyclically: a key shorter than 72 bytes repeats, of a longer
// one only the first 72 bytes matter. KeyLength 0 counts as no key bytes at all (P stays the
// standard P before the expansion) instead of reading past an empty key.
VOID BlowFish_Init(PBLOWFISH_CTX Context, const UCHAR* Key, ULONG KeyLength);

// One block as two words, replaced in place.
VOID BlowFish_EncryptBlock(const BLOWFISH_CTX* Context, PULONG Left, PULONG Right);
VOID BlowFish_DecryptBlock(const BLOWFISH_CTX* Context, PULONG Left, PULONG Right);

// In-place ECB encryption of *Length bytes. A length that is not a multiple of 8 is padded with
// zero bytes written directly after the data, so the buffer must have room up to the next multiple
// of 8. On return *Length is the number of bytes encrypted (the padded length).
VOID BlowFish_Encrypt(const BLOWFISH_CTX* Context, PUCHAR Buffer, PULONG Length);

// In-place ECB decryption of NBytes bytes. A length that is not a multiple of 8 leaves the buffer
// unchanged.
VOID BlowFish_Decrypt(const BLOWFISH_CTX* Context, PUCHAR Buffer, ULONG NBytes);

// In-place ECB encryption / decryption of the first 16 bytes (two blocks) of each of Count records
// that start Stride bytes apart, for Count * Stride bytes of Buffer (Stride >= 16). The blocks of
// different records are processed interleaved, which hides the latency of the S-box lookups; the
// bytes produced are those of BlowFish_Encrypt / BlowFish_Decrypt on each 16-byte head.
VOID BlowFish_EncryptHeads(const BLOWFISH_CTX* Context, PUCHAR Buffer, ULONG Count, ULONG Stride);
VOID BlowFish_DecryptHeads(const BLOWFISH_CTX* Context, PUCHAR Buffer, ULONG Count, ULONG Stride);
