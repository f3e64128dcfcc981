// Client security contexts and thread impersonation.
#include "host_internal.h"
#include "ps_internal.h"
#include "se_internal.h"

#include <cstring>
#include <map>
#include <mutex>

namespace ntos::detail {

namespace {

struct impersonation {
    PACCESS_TOKEN token; // one reference, held for the thread
    SECURITY_IMPERSONATION_LEVEL level;
    BOOLEAN effective_only;
};

struct impersonations {
    std::mutex lock;
    // Threads can end while impersonating: an entry counts only while its thread is alive and
    // its slot still names the token.
    std::map<PETHREAD, impersonation> threads;
};

impersonations& state()
{
    static impersonations& s = *new impersonations; // never destroyed, like the threads
    return s;
}

bool is_thread(PETHREAD thread)
{
    return thread && ob_is_object(thread) && ob_kind(thread) == object_kind::thread;
}

void prune_locked(impersonations& s)
{
    for (auto it = s.threads.begin(); it != s.threads.end();) {
        bool live = is_thread(it->first) && it->first->Tcb.ImpersonationToken == it->second.token;
        if (live) {
            ++it;
        } else {
            ob_dereference(it->second.token);
            it = s.threads.erase(it);
        }
    }
}

// The impersonation of a thread, with a new reference on its token; false when there is none.
bool impersonation_of(PETHREAD thread, impersonation* out)
{
    impersonations& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    prune_locked(s);
    auto found = s.threads.find(thread);
    if (found == s.threads.end())
        return false;
    *out = found->second;
    ob_reference(out->token);
    return true;
}

void set_impersonation(PETHREAD thread, const impersonation* next)
{
    PACCESS_TOKEN old = nullptr;
    {
        impersonations& s = state();
        std::lock_guard<std::mutex> guard(s.lock);
        prune_locked(s);
        auto found = s.threads.find(thread);
        if (found != s.threads.end()) {
            old = found->second.token;
            s.threads.erase(found);
        }
        thread->Tcb.ImpersonationToken = nullptr;
        if (next) {
            ob_reference(next->token);
            s.threads.emplace(thread, *next);
            thread->Tcb.ImpersonationToken = next->token;
        }
    }
    if (old)
        ob_dereference(old);
}

PEPROCESS process_of(PETHREAD thread)
{
    return thread == PsGetCurrentThread() ? PsGetCurrentProcess() : thread->Tcb.Process;
}

} // namespace

NTSTATUS se_open_identity(bool* switch_to, se_identity* who)
{
    *switch_to = false;
    impersonation current;
    if (!impersonation_of(PsGetCurrentThread(), &current))
        return STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
    if (current.level < SecurityImpersonation)
        status = STATUS_BAD_IMPERSONATION_LEVEL;
    else if (se_token_identity(current.token, who))
        *switch_to = true;
    else
        status = STATUS_NO_TOKEN;
    ob_dereference(current.token);
    return status;
}

} // namespace ntos::detail

using namespace ntos::detail;

NTSTATUS SeCreateClientSecurity(PETHREAD ClientThread,
                                PSECURITY_QUALITY_OF_SERVICE ClientSecurityQos,
                                BOOLEAN RemoteSession, PSECURITY_CLIENT_CONTEXT ClientContext)
{
    host_passive_only("SeCreateClientSecurity");
    if (!is_thread(ClientThread) || !ClientSecurityQos || !ClientContext)
        return STATUS_INVALID_PARAMETER;
    if (ClientSecurityQos->ImpersonationLevel < SecurityAnonymous ||
        ClientSecurityQos->ImpersonationLevel > SecurityDelegation)
        return STATUS_INVALID_PARAMETER;

    PACCESS_TOKEN token = nullptr;
    impersonation current;
    if (impersonation_of(ClientThread, &current)) {
        if (current.level < ClientSecurityQos->ImpersonationLevel) {
            ob_dereference(current.token);
            return STATUS_BAD_IMPERSONATION_LEVEL;
        }
        token = current.token;
    } else {
        token = se_primary_token(process_of(ClientThread));
        if (!token)
            return STATUS_NO_TOKEN;
    }

    // Static tracking (or a remote client) freezes the client's identity in a copy.
    bool direct =
        ClientSecurityQos->ContextTrackingMode == SECURITY_DYNAMIC_TRACKING && !RemoteSession;
    if (!direct) {
        PACCESS_TOKEN copy =
            se_duplicate_token(token, TokenImpersonation, ClientSecurityQos->ImpersonationLevel);
        ob_dereference(token);
        if (!copy)
            return STATUS_INSUFFICIENT_RESOURCES;
        token = copy;
    }

    std::memset(ClientContext, 0, sizeof *ClientContext);
    ClientContext->SecurityQos = *ClientSecurityQos;
    ClientContext->SecurityQos.Length = sizeof(SECURITY_QUALITY_OF_SERVICE);
    ClientContext->ClientToken = token;
    ClientContext->DirectlyAccessClientToken = direct;
    ClientContext->DirectAccessEffectiveOnly = direct ? ClientSecurityQos->EffectiveOnly : FALSE;
    ClientContext->ServerIsRemote = RemoteSession;
    se_token_control(token, &ClientContext->ClientTokenControl);
    return STATUS_SUCCESS;
}

NTSTATUS SeImpersonateClientEx(PSECURITY_CLIENT_CONTEXT ClientContext, PETHREAD ServerThread)
{
    host_passive_only("SeImpersonateClientEx");
    if (!ClientContext || !se_is_token(ClientContext->ClientToken))
        return STATUS_INVALID_PARAMETER;
    PETHREAD thread = ServerThread ? ServerThread : PsGetCurrentThread();
    if (!is_thread(thread))
        return STATUS_INVALID_PARAMETER;

    impersonation next{ClientContext->ClientToken, ClientContext->SecurityQos.ImpersonationLevel,
                       ClientContext->DirectlyAccessClientToken
                           ? ClientContext->DirectAccessEffectiveOnly
                           : ClientContext->SecurityQos.EffectiveOnly};
    if (SeTokenType(next.token) == TokenImpersonation &&
        SeTokenImpersonationLevel(next.token) < next.level)
        next.level = SeTokenImpersonationLevel(next.token);

    // A server without SeImpersonatePrivilege may only identify a client of another identity.
    if (next.level >= SecurityImpersonation) {
        PACCESS_TOKEN server = se_primary_token(process_of(thread));
        se_identity server_who, client_who;
        bool same = server && se_token_identity(server, &server_who) &&
                    se_token_identity(next.token, &client_who) && server_who.uid == client_who.uid;
        if (!same && !se_token_privilege_enabled(server, SE_IMPERSONATE_PRIVILEGE))
            next.level = SecurityIdentification;
        if (server)
            ob_dereference(server);
    }
    set_impersonation(thread, &next);
    return STATUS_SUCCESS;
}

VOID SeImpersonateClient(PSECURITY_CLIENT_CONTEXT ClientContext, PETHREAD ServerThread)
{
    SeImpersonateClientEx(ClientContext, ServerThread);
}

VOID PsRevertToSelf()
{
    host_passive_only("PsRevertToSelf");
    PETHREAD thread = PsGetCurrentThread();
    if (is_thread(thread))
        set_impersonation(thread, nullptr);
}

PACCESS_TOKEN PsReferenceImpersonationToken(PETHREAD Thread, PBOOLEAN CopyOnOpen,
                                            PBOOLEAN EffectiveOnly,
                                            PSECURITY_IMPERSONATION_LEVEL ImpersonationLevel)
{
    if (!is_thread(Thread))
        return nullptr;
    impersonation current;
    if (!impersonation_of(Thread, &current))
        return nullptr;
    if (CopyOnOpen)
        *CopyOnOpen = FALSE;
    if (EffectiveOnly)
        *EffectiveOnly = current.effective_only;
    if (ImpersonationLevel)
        *ImpersonationLevel = current.level;
    return current.token;
}

BOOLEAN SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode)
{
    if (PrivilegeValue.HighPart != 0)
        return FALSE;
    PACCESS_TOKEN token = nullptr;
    impersonation current;
    if (impersonation_of(PsGetCurrentThread(), &current))
        token = current.token;
    else
        token = se_primary_token(PsGetCurrentProcess());
    BOOLEAN held = token && se_token_privilege_enabled(token, PrivilegeValue.LowPart);
    if (token)
        ob_dereference(token);
    return held;
}
