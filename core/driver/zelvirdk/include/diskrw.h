// Sector encryption of a volume: its key material, the transform of runs of container sectors,
// and the read and write routines through which every sector of a container passes.
//
// A container sector is always 512 bytes. All positions are file offsets in the container, not
// offsets in the virtual disk (the disk's sector n sits at file offset 512 + 512n). Writing a run:
// every 32-bit word is XORed with the table T by file offset, then bytes 0..15 of each sector are
// Blowfish-encrypted (ECB). Reading reverses it. The pattern of T repeats every 16 sectors.
#pragma once

#include <ntdef.h>

#include "algorithm_blowfish.h"

struct _DEVICE_EXTENSION;

#define DISKRW_SECTOR_SIZE 512
#define DISKRW_TABLE_SIZE 8192

// Fills the volume's Blowfish context and its DISKRW_TABLE_SIZE-byte XOR table from the
// KeyLength bytes of a mount key: D = MD5(key); K (128 bytes) = eight rows of D, row i XORed with
// (D[2i] + D[2i+1]) mod 256; the context is expanded from all of K; T = 64 rows of K, row b XORed
// with (K[2b] + K[2b+1]) mod 256. D and K live on the stack and are wiped before returning.
VOID DeriveVolumeKeyMaterial(const UCHAR* Key, ULONG KeyLength, PBLOWFISH_CTX BlowFish,
                             PUCHAR EncryptSectors);

// The transform of a run in place, without file I/O and without allocation. Length is a multiple
// of DISKRW_SECTOR_SIZE for the disk path; other lengths transform Length / 4 words and
// Length / 512 sectors, as the word rule defines. The table's word index starts at
// (FileOffset mod 8192) / 4, with the modulus taken as a non-negative value for any offset, and
// wraps from 2047 to 0. The context and table are only read, so several runs may be transformed
// at once with one volume's key material.
VOID DiskRW_EncryptRun(const BLOWFISH_CTX* BlowFish, const UCHAR* EncryptSectors,
                       LONGLONG FileOffset, PUCHAR Buffer, ULONG Length);
VOID DiskRW_DecryptRun(const BLOWFISH_CTX* BlowFish, const UCHAR* EncryptSectors,
                       LONGLONG FileOffset, PUCHAR Buffer, ULONG Length);

// Driver entry and unload: the sector routines keep no state, so both always succeed.
NTSTATUS DiskRW_Initialize();
VOID DiskRW_Uninitialize();

// Encrypts the caller's buffer in place (when the volume is encrypted) and writes it at
// FileOffset on the container handle; returns the write's status. The buffer holds ciphertext
// afterwards, so callers pass a buffer of their own.
// DiskRW_Read reads Length bytes at FileOffset and, when the read succeeded and the volume is
// encrypted, decrypts them in place; a failed read leaves the buffer as the file system left it.
// A short read that the file system reports as success counts as success.
// On an encrypted volume FileOffset and Length must be multiples of DISKRW_SECTOR_SIZE (others
// are refused with STATUS_INVALID_PARAMETER before any I/O); an unencrypted volume passes any run
// to the file system, whose status is returned.
// PASSIVE_LEVEL. Only the volume's worker and, before it serves anyone, the mount sequence call
// these, so they take no lock; the key material is read-only.
NTSTATUS DiskRW_Write(struct _DEVICE_EXTENSION* DevExt, LONGLONG FileOffset, PVOID Buffer,
                      ULONG Length);
NTSTATUS DiskRW_Read(struct _DEVICE_EXTENSION* DevExt, LONGLONG FileOffset, PVOID Buffer,
                     ULONG Length);
