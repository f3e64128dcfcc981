// What the driver says about a catalogued vault. Nothing here is cached: every answer is a fresh
// request to the driver, which alone knows what is mounted where.
#pragma once

#include "redav_client.h"
#include "vault_catalogue.h"

#include <stdint.h>
#include <string>

// True when the driver reports a volume at the record's Letter whose container path, turned
// back into drive-letter form, equals the record's Path (letter case ignored). A Letter of 0, a
// letter without a volume and an unreachable driver all read as not mounted; so does a letter
// held by another container.
bool IsVaultMounted(const VaultRecord& record);
// The same through a given client (the operations take theirs as a parameter).
bool IsVaultMounted(const RedAvClient& client, const VaultRecord& record);

// The virtual disk's size when the driver reports a volume at Letter (whichever container holds
// it), else the container file's size; 0 when neither can be had.
uint64_t GetVaultSize(const VaultRecord& record);
uint64_t GetVaultSize(const RedAvClient& client, const VaultRecord& record);

// The driver's device-form path ("\Device\HarddiskVolume1\vaults\a.lkb") in drive-letter form:
// the first drive, in the system's order, whose device name is the whole path ("X:\") or its
// leading part followed by a backslash ("X:" + the rest). The path unchanged when no drive
// matches; "" for "".
std::u16string DevicePathToDosPath(const std::u16string& path);
