// Who a request comes from: the checks of who may act on a volume or on the log's settings.
//
// A requester is the user of the requesting thread's effective token. Root (a client whose user
// is uid 0) and the system itself are privileged: they may act on every volume and change what
// is machine-wide. A driver thread that works for one user (a mount thread, a volume's worker)
// names that user with Requester_ActFor, so that what it logs is that user's.
#pragma once

#include <ntifs.h>

typedef struct _REDAV_REQUESTER {
    alignas(ULONG) UCHAR Sid[SECURITY_MAX_SID_SIZE];
    BOOLEAN Known;        // Sid holds a user
    BOOLEAN IsPrivileged; // root or the system
} REDAV_REQUESTER, *PREDAV_REQUESTER;

// The user the current thread acts for, else the user of its effective token. FALSE (nothing
// known, not privileged) when no token can be read. PASSIVE_LEVEL.
BOOLEAN Requester_Identify(PREDAV_REQUESTER Requester);
// Only the user the current thread acts for; FALSE when it acts for nobody. IRQL <=
// DISPATCH_LEVEL.
BOOLEAN Requester_ActingFor(PREDAV_REQUESTER Requester);
// TRUE when the requester is the user OwnerSid names (a valid SID). Any IRQL.
BOOLEAN Requester_Is(const REDAV_REQUESTER* Requester, const UCHAR* OwnerSid);
// The owner or a privileged requester. Any IRQL.
BOOLEAN Requester_MayActOn(const REDAV_REQUESTER* Requester, const UCHAR* OwnerSid);

// The current thread acts for Requester until Requester_StopActing, which the thread must call
// before it ends. FALSE (nothing recorded) for an unknown requester or when too many threads act
// for someone already. IRQL <= DISPATCH_LEVEL.
BOOLEAN Requester_ActFor(const REDAV_REQUESTER* Requester);
VOID Requester_StopActing();
