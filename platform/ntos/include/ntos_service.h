// The whole service in one process, started and stopped in one order: the kernel layer over its
// folders, the mount services, the disk bridge, the driver and the control bridge that lets
// clients in. The service host runs it; the end-to-end tests run it in their own process.
#pragma once

#include "ntifs.h"

#include <string>
#include <utility>
#include <vector>

namespace ntos {

struct service_config {
    std::string runtime;        // R (empty: LOCKBIN_ROOT, else /run/lockbin)
    std::string state;          // empty: LOCKBIN_STATE, else /var/lib/lockbin
    bool disks = true;          // volumes as block files under R/disks (root, FUSE)
    int user_connections = 0;   // control connections per user; 0: the default
    std::u16string driver_name; // the driver's service name
    PDRIVER_INITIALIZE driver_entry = nullptr;
    std::vector<ULONG> pool_tags; // the driver's tags, checked when it unloads
    // REG_DWORD values written under the driver's Parameters key before it loads.
    std::vector<std::pair<std::u16string, ULONG>> parameters;
};

// The part that did not start.
enum class service_part { none, host, service_key, mount_services, disks, driver, control };

// Control connections per user other than root when service_config::user_connections is 0.
int default_user_connections();

// Starts, in order: the layer over the folders, the driver's service key (as installing the
// service makes it), the mount services (before the driver's first volume arrives), the disk
// bridge when asked, the driver, and the control bridge. On a failure, stops what had started,
// names the part in *failed and returns its status. A service already running is refused with
// STATUS_ALREADY_COMMITTED. A layer the caller started before (ntos::start_host) is used as it
// is, and left running by stop_service.
NTSTATUS start_service(const service_config& config, service_part* failed = nullptr);

// Stops the running service in the reverse order: the clients first, so that no request reaches
// the driver while it unloads; the driver, whose unload dismounts every volume; the mount
// services; the disk bridge (its folder unmounted even after an aborted connection); the layer.
// True when the driver left no pool block under its tags, and when no service runs.
bool stop_service();

} // namespace ntos
