// The key block a vault's password turns into: the manager sends it with every mount request.
#pragma once

#include "windows.h"

#include <array>
#include <string>

// Bytes 0 to 19: SHA-1 of the password's UTF-16LE code units; bytes 20 to 127: zero.
constexpr DWORD VaultKeySize = 128;
constexpr DWORD VaultKeyDigestSize = 20;
using VaultKey = std::array<BYTE, VaultKeySize>;

// Hashes `inputLength` bytes at `input` with SHA-1 into `output`. On entry *outputLength is the
// output's capacity; on success it is 20. False, with nothing touched, when a pointer is null,
// the input is empty or the capacity is below 20; false also when the CryptoAPI provider fails
// (the output is then not to be relied on). Same input, same digest: no salt, no iterations.
bool DeriveVaultKey(const BYTE* input, DWORD inputLength, BYTE* output, DWORD* outputLength);

// The calling pattern of opening and creating a vault: zeroes `key`, derives it from the
// password's UTF-16LE bytes and sets `keyLength` to the length the driver is sent (always 128).
// False when the derivation fails; the caller then reports it and sends nothing.
bool MakeVaultKey(const std::u16string& password, VaultKey& key, DWORD& keyLength);
