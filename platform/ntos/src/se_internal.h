// Tokens (not visible to the driver).
//
// A token is an object of kind token: its type, its impersonation level, its identity (uid, gid,
// groups) and its privileges. Each process has a primary token made on first use: the service's
// own identity with the platform's system privileges for the system process, the client's uid,
// gid and groups (from ps_create_process, or se_set_process_identity) with a user's privileges
// for a client process. A thread's impersonation is kept here beside the slot in its thread
// object. Tokens are referenced through ob_reference/ob_dereference like every object.
#pragma once

#include "ob_internal.h"
#include "se_fscreds.h"

#include <cstdint>

namespace ntos::detail {

// Gives a client process its identity (replacing the one derived from its host uid and gid)
// before its token is first used; the control bridge calls it with the peer's credentials.
NTSTATUS se_set_process_identity(PEPROCESS process, const se_identity& who);

// Identity of a token; false for a pointer that is not a token.
bool se_token_identity(PACCESS_TOKEN token, se_identity* who);
// Whether the privilege is present and enabled in the token.
bool se_token_privilege_enabled(PACCESS_TOKEN token, ULONG privilege);

// The fs identity host files are opened with on the current thread: *switch_to is set when the
// thread impersonates (to the impersonated identity); STATUS_BAD_IMPERSONATION_LEVEL when it
// impersonates below SecurityImpersonation.
NTSTATUS se_open_identity(bool* switch_to, se_identity* who);

} // namespace ntos::detail

namespace ntos::detail {

// New token of the given type and level with the identity and privileges of source (a new
// reference), or null.
PACCESS_TOKEN se_duplicate_token(PACCESS_TOKEN source, TOKEN_TYPE type,
                                 SECURITY_IMPERSONATION_LEVEL level);
// The primary token of a process, referenced (made on first use); null for a bad pointer.
PACCESS_TOKEN se_primary_token(PEPROCESS process);
void se_token_control(PACCESS_TOKEN token, TOKEN_CONTROL* control);
bool se_is_token(PACCESS_TOKEN token);

} // namespace ntos::detail
