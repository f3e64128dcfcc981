// MD5 message digest (RFC 1321), used by the sector layer to turn a mount key into its
// volume key material. No allocation; callable at any IRQL over non-paged memory.
#pragma once

#include <ntdef.h>

#define MD5_DIGEST_LENGTH_BYTES 16

typedef struct _MD5_CONTEXT {
    ULONG State[4];
    ULONGLONG ByteCount;
    UCHAR Block[64];
} MD5_CONTEXT, *PMD5_CONTEXT;

VOID MD5Init(PMD5_CONTEXT Context);
VOID MD5Update(PMD5_CONTEXT Context, const UCHAR* Data, ULONG Length);
// Writes the 16-byte digest to Digest (room for at least 16 bytes) and wipes the context, which
// holds what remains of the input; the context must be initialised again before further use.
VOID MD5Final(PUCHAR Digest, PMD5_CONTEXT Context);

// One-shot digest of Length bytes; the working context on the stack is wiped before returning.
VOID MD5Digest(const UCHAR* Data, ULONG Length, PUCHAR Digest);

// Clears Length bytes in a way the compiler may not drop as a dead store.
VOID SecureZeroBytes(PVOID Buffer, SIZE_T Length);
