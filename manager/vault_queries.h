// The questions every vault operation and the vault list ask the driver. Nothing is cached: the
// driver alone knows what is mounted where, so each call asks it again.
#pragma once

#include "redav_client.h"
#include "vault_catalogue.h"

#include <string>

// True exactly when the driver holds a volume at the record's Letter whose container path, in
// drive-letter form, equals the record's Path ignoring letter case. False for Letter 0 and
// whenever the driver cannot be asked.
bool IsVaultMounted(const RedAvClient& client, const VaultRecord& record);

// The virtual disk's size while a volume is mounted at the record's Letter, else the container
// file's size; 0 when neither can be read.
ULONGLONG GetVaultSize(const RedAvClient& client, const VaultRecord& record);

// "\Device\HarddiskVolume1\x\y.lkb" -> "C:\x\y.lkb", through the first drive (in the system's
// order) whose device name is the path or a leading part of it ending at a backslash; other paths
// come back unchanged, an empty one as empty.
std::u16string DevicePathToDosPath(const std::u16string& path);
