// Calls of the kernel layer for its host side: the service host, the host bridges and tests.
// The driver never includes this header.
#pragma once

#include "ntifs.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ntos {

// Starts the host side of the layer: sets the runtime folder R and the state folder (empty:
// LOCKBIN_ROOT / LOCKBIN_STATE, defaults /run/lockbin and /var/lib/lockbin) and creates both,
// opens the registry store (volatile keys of the previous run are removed), and creates the host
// volumes: \Device\HarddiskVolume1 for C: (host "/") and one more per line of the drives file
// "<state>/drives" ("E: /srv/data"), each with its link \GLOBAL??\X:. A second call fails with
// STATUS_ALREADY_COMMITTED.
NTSTATUS start_host(const std::string& runtime_folder, const std::string& state_folder);
// Removes the host volumes and their links again.
void stop_host();

const std::string& runtime_folder();
const std::string& state_folder();

// The identity a client process's token carries (the control bridge passes the peer's
// credentials). Without it a client process gets the uid and gid it was created with and the
// groups of its host process or account. Must come before the process's token is first used.
NTSTATUS set_client_identity(PEPROCESS process, uint32_t uid, uint32_t gid,
                             const std::vector<uint32_t>& groups);

// FSCTL_LOCK_VOLUME, FSCTL_UNLOCK_VOLUME and FSCTL_DISMOUNT_VOLUME sent with ZwFsControlFile to a
// handle of a device (other than a host volume) go to this hook; *information becomes the
// IoStatus.Information. Without a hook they fail with STATUS_INVALID_DEVICE_REQUEST.
using volume_control_hook = NTSTATUS (*)(PDEVICE_OBJECT device, PFILE_OBJECT file, ULONG code,
                                         PVOID input, ULONG input_length, PVOID output,
                                         ULONG output_length, ULONG_PTR* information);
void set_volume_control_hook(volume_control_hook hook);

} // namespace ntos
