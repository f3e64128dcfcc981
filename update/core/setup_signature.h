// Which setup programs the updater starts: those whose detached Ed25519 signature verifies
// against a public key this machine trusts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

using UpdateKey = std::array<uint8_t, 32>;
inline constexpr size_t kSignatureSize = 64;

// Further trusted keys, one per line as 64 hex digits ('#' starts a comment). The file counts
// only while root alone can change it and the folders above it (win32::ReadRootOnlyFile).
inline constexpr char kTrustedKeysFile[] = "/etc/lockbin/update-keys";

// The keys built into the program (the vendor's, from the build's LOCKBIN_UPDATE_KEYS) and the
// valid lines of the keys file. Malformed lines are skipped.
std::vector<UpdateKey> TrustedUpdateKeys(const char* keysFile = kTrustedKeysFile);

// True when the signature is one of a trusted key over the whole data.
bool VerifySetupSignature(const void* data, size_t size, const uint8_t* signature,
                          size_t signatureSize, const std::vector<UpdateKey>& keys);

namespace detail {
// Keys in the file's text form; malformed lines are skipped.
std::vector<UpdateKey> parse_update_keys(std::string_view text);
} // namespace detail
