// Token objects, primary tokens of processes and privilege adjustment.
#include "host_internal.h"
#include "ps_internal.h"
#include "se_internal.h"

#include <atomic>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <map>
#include <mutex>
#include <pwd.h>
#include <sstream>
#include <string>

namespace ntos::detail {

namespace {

struct token_data {
    se_identity who;
    std::mutex lock;
    uint64_t present = 0; // bit n: privilege n
    uint64_t enabled = 0;
};

struct token_body {
    TOKEN_TYPE type;
    SECURITY_IMPERSONATION_LEVEL level;
    LUID id;
    LUID authentication_id;
    LUID modified_id;
    BOOLEAN system;
    token_data* data;
};

constexpr uint64_t bit(ULONG n)
{
    return uint64_t(1) << n;
}

// The system account holds every privilege; these are enabled by default, as the platform's
// LocalSystem token has them.
constexpr uint64_t system_present =
    ((uint64_t(1) << (SE_MAX_WELL_KNOWN_PRIVILEGE + 1)) - 1) & ~uint64_t(3);
constexpr uint64_t system_enabled =
    bit(SE_LOCK_MEMORY_PRIVILEGE) | bit(SE_TCB_PRIVILEGE) | bit(SE_SYSTEM_PROFILE_PRIVILEGE) |
    bit(SE_PROF_SINGLE_PROCESS_PRIVILEGE) | bit(SE_INC_BASE_PRIORITY_PRIVILEGE) |
    bit(SE_CREATE_PAGEFILE_PRIVILEGE) | bit(SE_CREATE_PERMANENT_PRIVILEGE) |
    bit(SE_DEBUG_PRIVILEGE) | bit(SE_AUDIT_PRIVILEGE) | bit(SE_CHANGE_NOTIFY_PRIVILEGE) |
    bit(SE_IMPERSONATE_PRIVILEGE) | bit(SE_CREATE_GLOBAL_PRIVILEGE) |
    bit(SE_INC_WORKING_SET_PRIVILEGE) | bit(SE_TIME_ZONE_PRIVILEGE) |
    bit(SE_CREATE_SYMBOLIC_LINK_PRIVILEGE);
// An administrator (a client running as root) and an ordinary user.
constexpr uint64_t admin_present =
    bit(SE_INCREASE_QUOTA_PRIVILEGE) | bit(SE_SECURITY_PRIVILEGE) |
    bit(SE_TAKE_OWNERSHIP_PRIVILEGE) | bit(SE_LOAD_DRIVER_PRIVILEGE) |
    bit(SE_SYSTEM_PROFILE_PRIVILEGE) | bit(SE_SYSTEMTIME_PRIVILEGE) |
    bit(SE_PROF_SINGLE_PROCESS_PRIVILEGE) | bit(SE_INC_BASE_PRIORITY_PRIVILEGE) |
    bit(SE_CREATE_PAGEFILE_PRIVILEGE) | bit(SE_BACKUP_PRIVILEGE) | bit(SE_RESTORE_PRIVILEGE) |
    bit(SE_SHUTDOWN_PRIVILEGE) | bit(SE_DEBUG_PRIVILEGE) | bit(SE_SYSTEM_ENVIRONMENT_PRIVILEGE) |
    bit(SE_CHANGE_NOTIFY_PRIVILEGE) | bit(SE_UNDOCK_PRIVILEGE) | bit(SE_MANAGE_VOLUME_PRIVILEGE) |
    bit(SE_IMPERSONATE_PRIVILEGE) | bit(SE_CREATE_GLOBAL_PRIVILEGE) |
    bit(SE_INC_WORKING_SET_PRIVILEGE) | bit(SE_TIME_ZONE_PRIVILEGE) |
    bit(SE_CREATE_SYMBOLIC_LINK_PRIVILEGE);
constexpr uint64_t admin_enabled = bit(SE_CHANGE_NOTIFY_PRIVILEGE) | bit(SE_IMPERSONATE_PRIVILEGE) |
                                   bit(SE_CREATE_GLOBAL_PRIVILEGE);
constexpr uint64_t user_present = bit(SE_SHUTDOWN_PRIVILEGE) | bit(SE_CHANGE_NOTIFY_PRIVILEGE) |
                                  bit(SE_UNDOCK_PRIVILEGE) | bit(SE_INC_WORKING_SET_PRIVILEGE) |
                                  bit(SE_TIME_ZONE_PRIVILEGE);
constexpr uint64_t user_enabled = bit(SE_CHANGE_NOTIFY_PRIVILEGE);

// The system logon session, as the platform numbers it.
constexpr LUID system_luid = {0x3e7, 0};

LUID next_luid()
{
    static std::atomic<ULONG> counter{0x10000};
    return LUID{counter.fetch_add(1), 0};
}

void destroy_token(void* body)
{
    delete static_cast<token_body*>(body)->data;
}

token_body* as_token(PACCESS_TOKEN token)
{
    if (!token || !ob_is_object(token) || ob_kind(token) != object_kind::token)
        return nullptr;
    return static_cast<token_body*>(token);
}

token_body* new_token(TOKEN_TYPE type, SECURITY_IMPERSONATION_LEVEL level, const se_identity& who,
                      uint64_t present, uint64_t enabled, bool system, LUID authentication)
{
    void* body = ob_create_object(object_kind::token, sizeof(token_body), destroy_token);
    if (!body)
        return nullptr;
    auto* t = static_cast<token_body*>(body);
    t->type = type;
    t->level = level;
    t->id = next_luid();
    t->authentication_id = authentication;
    t->modified_id = next_luid();
    t->system = system;
    t->data = new token_data;
    t->data->who = who;
    t->data->present = present;
    t->data->enabled = enabled & present;
    return t;
}

// Supplementary groups of a client: those of its host process when it is still the same user,
// else those of its account.
std::vector<gid_t> groups_of(uid_t uid, gid_t gid, int32_t pid)
{
    std::vector<gid_t> groups;
    if (pid > 0) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        std::string line;
        bool same_user = false;
        bool have_groups = false;
        while (std::getline(status, line)) {
            std::istringstream fields(line);
            std::string key;
            fields >> key;
            if (key == "Uid:") {
                unsigned long real = 0, effective = 0;
                fields >> real >> effective;
                same_user = effective == uid;
            } else if (key == "Groups:") {
                unsigned long g;
                while (fields >> g)
                    groups.push_back(static_cast<gid_t>(g));
                have_groups = true;
            }
        }
        if (same_user && have_groups)
            return groups;
        groups.clear();
    }
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found) {
        int count = 64;
        groups.resize(static_cast<size_t>(count));
        if (getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) {
            groups.resize(static_cast<size_t>(count));
            getgrouplist(found->pw_name, gid, groups.data(), &count);
        }
        groups.resize(static_cast<size_t>(count > 0 ? count : 0));
    }
    return groups;
}

struct process_tokens {
    std::mutex lock;
    token_body* system = nullptr;
    // Client processes die without telling this module: an entry counts only while its process
    // is alive and still points at the token; stale ones are dropped on the next lookup.
    std::map<PEPROCESS, token_body*> tokens;
    std::map<PEPROCESS, se_identity> identities;
};

process_tokens& tokens()
{
    // Never destroyed: tokens of processes still alive at exit stay reachable.
    static process_tokens& t = *new process_tokens;
    return t;
}

void prune_locked(process_tokens& t)
{
    for (auto it = t.tokens.begin(); it != t.tokens.end();) {
        PEPROCESS p = it->first;
        bool live =
            ob_is_object(p) && ob_kind(p) == object_kind::process && p->Pcb.Token == it->second;
        if (live) {
            ++it;
        } else {
            ob_dereference(it->second);
            t.identities.erase(p);
            it = t.tokens.erase(it);
        }
    }
}

} // namespace

bool se_is_token(PACCESS_TOKEN token)
{
    return as_token(token) != nullptr;
}

PACCESS_TOKEN se_primary_token(PEPROCESS process)
{
    if (!process || !ob_is_object(process) || ob_kind(process) != object_kind::process)
        return nullptr;
    process_tokens& t = tokens();
    std::lock_guard<std::mutex> guard(t.lock);
    if (process == ps_system_process()) {
        if (!t.system) {
            t.system = new_token(TokenPrimary, SecurityAnonymous, se_process_identity(),
                                 system_present, system_enabled, true, system_luid);
            if (!t.system)
                return nullptr;
            process->Pcb.Token = t.system;
        }
        ob_reference(t.system);
        return t.system;
    }
    prune_locked(t);
    auto found = t.tokens.find(process);
    if (found == t.tokens.end()) {
        se_identity who;
        auto given = t.identities.find(process);
        if (given != t.identities.end()) {
            who = given->second;
        } else {
            who.uid = process->Pcb.HostUid;
            who.gid = process->Pcb.HostGid;
            who.groups = groups_of(who.uid, who.gid, process->Pcb.HostPid);
        }
        bool admin = who.uid == 0;
        token_body* token =
            new_token(TokenPrimary, SecurityAnonymous, who, admin ? admin_present : user_present,
                      admin ? admin_enabled : user_enabled, false, next_luid());
        if (!token)
            return nullptr;
        process->Pcb.Token = token;
        found = t.tokens.emplace(process, token).first;
    }
    ob_reference(found->second);
    return found->second;
}

NTSTATUS se_set_process_identity(PEPROCESS process, const se_identity& who)
{
    if (!process || !ob_is_object(process) || ob_kind(process) != object_kind::process ||
        process == ps_system_process())
        return STATUS_INVALID_PARAMETER;
    process_tokens& t = tokens();
    std::lock_guard<std::mutex> guard(t.lock);
    prune_locked(t);
    if (t.tokens.count(process))
        return STATUS_ALREADY_COMMITTED; // the token is in use already
    t.identities[process] = who;
    return STATUS_SUCCESS;
}

PACCESS_TOKEN se_duplicate_token(PACCESS_TOKEN source, TOKEN_TYPE type,
                                 SECURITY_IMPERSONATION_LEVEL level)
{
    token_body* s = as_token(source);
    if (!s)
        return nullptr;
    std::lock_guard<std::mutex> guard(s->data->lock);
    return new_token(type, level, s->data->who, s->data->present, s->data->enabled, s->system,
                     s->authentication_id);
}

bool se_token_identity(PACCESS_TOKEN token, se_identity* who)
{
    token_body* t = as_token(token);
    if (!t)
        return false;
    *who = t->data->who;
    return true;
}

bool se_token_privilege_enabled(PACCESS_TOKEN token, ULONG privilege)
{
    token_body* t = as_token(token);
    if (!t || privilege > SE_MAX_WELL_KNOWN_PRIVILEGE)
        return false;
    std::lock_guard<std::mutex> guard(t->data->lock);
    return (t->data->enabled & bit(privilege)) != 0;
}

void se_token_control(PACCESS_TOKEN token, TOKEN_CONTROL* control)
{
    std::memset(control, 0, sizeof *control);
    token_body* t = as_token(token);
    if (!t)
        return;
    control->TokenId = t->id;
    control->AuthenticationId = t->authentication_id;
    control->ModifiedId = t->modified_id;
    std::memcpy(control->TokenSource.SourceName, t->system ? "*SYSTEM*" : "User32  ",
                TOKEN_SOURCE_LENGTH);
}

} // namespace ntos::detail

using namespace ntos::detail;

TOKEN_TYPE SeTokenType(PACCESS_TOKEN Token)
{
    token_body* t = as_token(Token);
    return t ? t->type : TokenPrimary;
}

SECURITY_IMPERSONATION_LEVEL SeTokenImpersonationLevel(PACCESS_TOKEN Token)
{
    token_body* t = as_token(Token);
    return t ? t->level : SecurityAnonymous;
}

BOOLEAN SeTokenIsAdmin(PACCESS_TOKEN Token)
{
    token_body* t = as_token(Token);
    return t && t->data->who.uid == 0;
}

PACCESS_TOKEN PsReferencePrimaryToken(PEPROCESS Process)
{
    return se_primary_token(Process);
}

VOID PsDereferencePrimaryToken(PACCESS_TOKEN PrimaryToken)
{
    if (as_token(PrimaryToken))
        ob_dereference(PrimaryToken);
}

VOID PsDereferenceImpersonationToken(PACCESS_TOKEN ImpersonationToken)
{
    if (as_token(ImpersonationToken))
        ob_dereference(ImpersonationToken);
}

NTSTATUS ZwOpenProcessTokenEx(HANDLE ProcessHandle, ACCESS_MASK DesiredAccess,
                              ULONG HandleAttributes, PHANDLE TokenHandle)
{
    host_passive_only("ZwOpenProcessTokenEx");
    if (!TokenHandle)
        return STATUS_INVALID_PARAMETER;
    PEPROCESS process = nullptr;
    void* referenced = nullptr;
    if (ProcessHandle == NtCurrentProcess()) {
        process = PsGetCurrentProcess();
    } else {
        NTSTATUS status =
            ob_reference_by_handle(ProcessHandle, object_kind::process, &referenced, nullptr);
        if (!NT_SUCCESS(status))
            return status;
        process = static_cast<PEPROCESS>(referenced);
    }
    PACCESS_TOKEN token = se_primary_token(process);
    if (referenced)
        ob_dereference(referenced);
    if (!token)
        return STATUS_NO_TOKEN;
    ACCESS_MASK access = DesiredAccess;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED))
        access = TOKEN_ALL_ACCESS;
    if (access & GENERIC_READ)
        access = (access & ~GENERIC_READ) | STANDARD_RIGHTS_READ | TOKEN_QUERY;
    if (access & GENERIC_WRITE)
        access = (access & ~GENERIC_WRITE) | STANDARD_RIGHTS_WRITE | TOKEN_ADJUST_PRIVILEGES |
                 TOKEN_ADJUST_GROUPS | TOKEN_ADJUST_DEFAULT;
    NTSTATUS status = ob_insert_handle(token, access, HandleAttributes, TokenHandle);
    ob_dereference(token);
    return status;
}

NTSTATUS ZwOpenProcessToken(HANDLE ProcessHandle, ACCESS_MASK DesiredAccess, PHANDLE TokenHandle)
{
    return ZwOpenProcessTokenEx(ProcessHandle, DesiredAccess, 0, TokenHandle);
}

NTSTATUS ZwAdjustPrivilegesToken(HANDLE TokenHandle, BOOLEAN DisableAllPrivileges,
                                 PTOKEN_PRIVILEGES NewState, ULONG BufferLength,
                                 PTOKEN_PRIVILEGES PreviousState, PULONG ReturnLength)
{
    host_passive_only("ZwAdjustPrivilegesToken");
    if (!DisableAllPrivileges && !NewState)
        return STATUS_INVALID_PARAMETER;
    if (PreviousState && !ReturnLength)
        return STATUS_INVALID_PARAMETER;
    void* body = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = ob_reference_by_handle(TokenHandle, object_kind::token, &body, &granted);
    if (!NT_SUCCESS(status))
        return status;
    // Declared before the lock so that the reference goes after the lock is released.
    struct release {
        void* body;
        ~release() { ob_dereference(body); }
    } reference{body};
    token_body* t = static_cast<token_body*>(body);
    ACCESS_MASK needed = TOKEN_ADJUST_PRIVILEGES | (PreviousState ? TOKEN_QUERY : 0);
    if ((granted & needed) != needed)
        return STATUS_ACCESS_DENIED;

    std::lock_guard<std::mutex> guard(t->data->lock);
    uint64_t enabled = t->data->enabled;
    uint64_t present = t->data->present;
    bool all_assigned = true;
    if (DisableAllPrivileges) {
        enabled = 0;
    } else {
        for (ULONG i = 0; i < NewState->PrivilegeCount; ++i) {
            const LUID& luid = NewState->Privileges[i].Luid;
            ULONG attributes = NewState->Privileges[i].Attributes;
            if (luid.HighPart != 0 || luid.LowPart > SE_MAX_WELL_KNOWN_PRIVILEGE ||
                !(present & bit(luid.LowPart))) {
                all_assigned = false;
                continue;
            }
            if (attributes & SE_PRIVILEGE_REMOVED) {
                present &= ~bit(luid.LowPart);
                enabled &= ~bit(luid.LowPart);
            } else if (attributes & SE_PRIVILEGE_ENABLED) {
                enabled |= bit(luid.LowPart);
            } else {
                enabled &= ~bit(luid.LowPart);
            }
        }
    }

    // The previous state lists the privileges whose state changes.
    uint64_t changed = (enabled ^ t->data->enabled) | (present ^ t->data->present);
    if (PreviousState) {
        ULONG count = 0;
        for (ULONG n = 0; n <= SE_MAX_WELL_KNOWN_PRIVILEGE; ++n)
            count += (changed & bit(n)) ? 1 : 0;
        ULONG needed_bytes = static_cast<ULONG>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                                count * sizeof(LUID_AND_ATTRIBUTES));
        *ReturnLength = needed_bytes;
        if (BufferLength < needed_bytes)
            return STATUS_BUFFER_TOO_SMALL;
        PreviousState->PrivilegeCount = count;
        ULONG k = 0;
        for (ULONG n = 0; n <= SE_MAX_WELL_KNOWN_PRIVILEGE; ++n) {
            if (!(changed & bit(n)))
                continue;
            PreviousState->Privileges[k].Luid = LUID{n, 0};
            PreviousState->Privileges[k].Attributes =
                (t->data->enabled & bit(n)) ? SE_PRIVILEGE_ENABLED : 0;
            ++k;
        }
    }
    t->data->enabled = enabled;
    t->data->present = present;
    if (changed)
        t->modified_id = next_luid();
    return all_assigned ? STATUS_SUCCESS : STATUS_NOT_ALL_ASSIGNED;
}
