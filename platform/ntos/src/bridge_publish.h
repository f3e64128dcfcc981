// The drive links of \GLOBAL?? on the host, and the per-user session view of \??.
//
// Every drive link directly in \GLOBAL?? ("Z:" -> "\Device\ZELVirtualDisk\ZELVirtualDiskZ") is
// written as R/GLOBAL??/Z: (hostns format) while it exists; the other links are the control
// bridge's.
//
// Sessions: the links of R/sessions/UID/DosDevices (the user's folder drives such as D: -> the
// home folder, written once per session from the user's drives file, and the manager's
// DefineDosDeviceW definitions) are kept in one unnamed object directory per user. A lookup of
// \?? by a thread whose identity is a client's (its client process, or its impersonation) looks
// there before \GLOBAL??; threads of the service look only at \GLOBAL??. A refresher thread
// follows the session folders on the host (a change shows within a tenth of a second); a user
// whose session has not been seen yet gets its folder drives written and synchronised at once,
// the lookup that met it goes to \GLOBAL?? only. The control bridge prepares a client's session
// before serving its first request, so that lookups of a client never miss it.
//
// R/sessions is root's (0755); the service makes each R/sessions/UID itself, the user's with
// mode 0700, and removes whatever else stood there first. Everything inside a user's folder,
// and the user's drives file, is read and written with that user's file-system credentials.
#pragma once

#include "se_fscreds.h"

#include <ntifs.h>

#include <sys/types.h>

namespace ntos::detail {

// Starts publishing and plugs the session resolver into the object manager. Idempotent.
NTSTATUS publish_start();
// Unplugs the resolver, removes what was published and frees the session directories.
void publish_stop();
// Synchronises one user's session directory with the host now (tests, and before a user's first
// request when the caller knows it is coming).
void publish_sync_session(uid_t uid);
// The same when the user's session is new or has changed since it was last synchronised.
void publish_prepare_session(const se_identity& who);

} // namespace ntos::detail
