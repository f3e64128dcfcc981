// The control bridge: every device named by a link directly in \GLOBAL?? whose name is not a
// drive letter (the driver's control device "\GLOBAL??\ZELRedAv" -> "\Device\ZELRedAv") listens
// on a Unix socket R/control/NAME (hostns/control_wire.h). The link itself is published as
// R/GLOBAL??/NAME. A connection is one open handle of the peer's own process object (image
// name from /proc/PID/comm; uid, gid and groups from SO_PEERCRED and SO_PEERGROUPS, read once at
// accept): IRP_MJ_CREATE on connect, one
// device-control, read or write request per message, IRP_MJ_CLEANUP and IRP_MJ_CLOSE on
// disconnect. Any local user may connect (mode 0666); what a request may do is the driver's
// decision. A peer that dies mid-request, sends a truncated, malformed or oversized message, or
// opens too many connections only loses its own connection. Event handles must be eventfds;
// they are signalled without blocking, so no peer can hold up a stop.
#pragma once

#include <ntifs.h>

#include <string>

namespace ntos::detail {

// Connections of users other than root served at once per device, and by default per user;
// further ones are closed at once. Root's connections are never refused.
inline constexpr int bridge_control_max_connections = 64;
inline constexpr int bridge_control_default_user_connections = 16;
int bridge_control_user_connections();
void bridge_control_set_user_connections(int cap);

// Watches \GLOBAL?? and serves the devices found there now and later. Idempotent.
NTSTATUS bridge_control_start();
// Closes every socket and connection (each one's cleanup and close reach the driver) and waits
// for their threads. No-op when stopped.
void bridge_control_stop();
// The socket a device listens on, for tests: R/control/NAME.
std::string bridge_control_socket_path(const std::u16string& device_name);

} // namespace ntos::detail
