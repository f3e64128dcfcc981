// Requesters: the user behind a request, and the driver threads that work for one.
#include "requester.h"

namespace {

// Mount threads (one per request in flight) and volume workers (one per volume).
constexpr ULONG kActingThreads = 128;

struct ActingThread {
    PETHREAD Thread;
    REDAV_REQUESTER Who;
};

ActingThread g_Acting[kActingThreads];
KSPIN_LOCK g_ActingLock;

bool IsLocalSystem(PSID Sid)
{
    alignas(ULONG) UCHAR Buffer[SECURITY_MAX_SID_SIZE] = {};
    auto* System = reinterpret_cast<SID*>(Buffer);
    System->Revision = SID_REVISION;
    System->SubAuthorityCount = 1;
    System->IdentifierAuthority = SID_IDENTIFIER_AUTHORITY{SECURITY_NT_AUTHORITY};
    System->SubAuthority[0] = SECURITY_LOCAL_SYSTEM_RID;
    return RtlEqualSid(Sid, System);
}

} // namespace

BOOLEAN Requester_ActingFor(PREDAV_REQUESTER Requester)
{
    PETHREAD Self = PsGetCurrentThread();
    BOOLEAN Found = FALSE;
    KIRQL OldIrql;
    KeAcquireSpinLock(&g_ActingLock, &OldIrql);
    for (ActingThread& Entry : g_Acting) {
        if (Entry.Thread == Self) {
            *Requester = Entry.Who;
            Found = TRUE;
            break;
        }
    }
    KeReleaseSpinLock(&g_ActingLock, OldIrql);
    return Found;
}

BOOLEAN Requester_Identify(PREDAV_REQUESTER Requester)
{
    PAGED_CODE();
    RtlZeroMemory(Requester, sizeof(*Requester));
    if (Requester_ActingFor(Requester))
        return TRUE;
    SECURITY_SUBJECT_CONTEXT Subject;
    SeCaptureSubjectContext(&Subject);
    PACCESS_TOKEN Token = SeQuerySubjectContextToken(&Subject);
    PTOKEN_USER User = nullptr;
    if (Token &&
        NT_SUCCESS(SeQueryInformationToken(Token, TokenUser, reinterpret_cast<PVOID*>(&User)))) {
        if (NT_SUCCESS(RtlCopySid(sizeof(Requester->Sid), Requester->Sid, User->User.Sid))) {
            Requester->Known = TRUE;
            Requester->IsPrivileged = SeTokenIsAdmin(Token) || IsLocalSystem(User->User.Sid);
        }
        ExFreePool(User);
    }
    SeReleaseSubjectContext(&Subject);
    return Requester->Known;
}

BOOLEAN Requester_Is(const REDAV_REQUESTER* Requester, const UCHAR* OwnerSid)
{
    return Requester->Known &&
           RtlEqualSid(const_cast<UCHAR*>(Requester->Sid), const_cast<UCHAR*>(OwnerSid));
}

BOOLEAN Requester_MayActOn(const REDAV_REQUESTER* Requester, const UCHAR* OwnerSid)
{
    return Requester->IsPrivileged || Requester_Is(Requester, OwnerSid);
}

BOOLEAN Requester_ActFor(const REDAV_REQUESTER* Requester)
{
    if (!Requester->Known)
        return FALSE;
    PETHREAD Self = PsGetCurrentThread();
    ActingThread* Free = nullptr;
    KIRQL OldIrql;
    KeAcquireSpinLock(&g_ActingLock, &OldIrql);
    for (ActingThread& Entry : g_Acting) {
        if (Entry.Thread == Self) {
            Free = &Entry;
            break;
        }
        if (!Free && Entry.Thread == nullptr)
            Free = &Entry;
    }
    if (Free) {
        Free->Thread = Self;
        Free->Who = *Requester;
    }
    KeReleaseSpinLock(&g_ActingLock, OldIrql);
    return Free != nullptr;
}

VOID Requester_StopActing()
{
    PETHREAD Self = PsGetCurrentThread();
    KIRQL OldIrql;
    KeAcquireSpinLock(&g_ActingLock, &OldIrql);
    for (ActingThread& Entry : g_Acting) {
        if (Entry.Thread == Self) {
            RtlZeroMemory(&Entry, sizeof(Entry));
            break;
        }
    }
    KeReleaseSpinLock(&g_ActingLock, OldIrql);
}
