// Subject contexts, the user of a token and security identifiers.
#include "host_internal.h"
#include "ps_internal.h"
#include "se_internal.h"

#include <cstring>

namespace ntos::detail {

namespace {

// Pool tag of token-information buffers ("SeTu" in memory).
constexpr ULONG token_info_tag = 0x75546553;

// Host users are S-1-22-1-<uid>, the form other systems also give Unix users.
constexpr SID_IDENTIFIER_AUTHORITY unix_authority = {{0, 0, 0, 0, 0, 22}};
constexpr ULONG unix_user_rid = 1;
constexpr SID_IDENTIFIER_AUTHORITY nt_authority = {SECURITY_NT_AUTHORITY};
// The system logon session, whose tokens are LocalSystem's.
constexpr LUID system_session = {0x3e7, 0};

ULONG sid_length(UCHAR sub_authorities)
{
    return offsetof(SID, SubAuthority) + sub_authorities * sizeof(ULONG);
}

// Writes the user of the token into sid (room for two sub-authorities); false for no token.
bool token_user_sid(PACCESS_TOKEN token, SID* sid, ULONG room)
{
    se_identity who;
    if (!se_token_identity(token, &who) || room < sid_length(2))
        return false;
    TOKEN_CONTROL control;
    se_token_control(token, &control);
    sid->Revision = SID_REVISION;
    if (control.AuthenticationId.LowPart == system_session.LowPart &&
        control.AuthenticationId.HighPart == system_session.HighPart) {
        sid->SubAuthorityCount = 1;
        sid->IdentifierAuthority = nt_authority;
        sid->SubAuthority[0] = SECURITY_LOCAL_SYSTEM_RID;
    } else {
        sid->SubAuthorityCount = 2;
        sid->IdentifierAuthority = unix_authority;
        sid->SubAuthority[0] = unix_user_rid;
        sid->SubAuthority[1] = static_cast<ULONG>(who.uid);
    }
    return true;
}

} // namespace

} // namespace ntos::detail

using namespace ntos::detail;

NTSTATUS SeQueryInformationToken(PACCESS_TOKEN Token, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                 PVOID* TokenInformation)
{
    host_passive_only("SeQueryInformationToken");
    if (!TokenInformation || !se_is_token(Token))
        return STATUS_INVALID_PARAMETER;
    *TokenInformation = nullptr;
    if (TokenInformationClass != TokenUser)
        return STATUS_NOT_IMPLEMENTED;
    // The SID follows the structure in the same block, as the platform lays it out.
    const ULONG room = SECURITY_MAX_SID_SIZE;
    auto* user = static_cast<PTOKEN_USER>(
        ExAllocatePoolWithTag(PagedPool, sizeof(TOKEN_USER) + room, token_info_tag));
    if (!user)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(user, 0, sizeof(TOKEN_USER) + room);
    auto* sid = reinterpret_cast<SID*>(user + 1);
    if (!token_user_sid(Token, sid, room)) {
        ExFreePool(user);
        return STATUS_NO_TOKEN;
    }
    user->User.Sid = sid;
    user->User.Attributes = 0;
    *TokenInformation = user;
    return STATUS_SUCCESS;
}

// SIDs are read byte by byte: a driver may keep one in a byte array of any alignment.
BOOLEAN RtlValidSid(PSID Sid)
{
    auto* bytes = static_cast<const UCHAR*>(Sid);
    return bytes && bytes[offsetof(SID, Revision)] == SID_REVISION &&
           bytes[offsetof(SID, SubAuthorityCount)] <= SID_MAX_SUB_AUTHORITIES;
}

ULONG RtlLengthSid(PSID Sid)
{
    return sid_length(static_cast<const UCHAR*>(Sid)[offsetof(SID, SubAuthorityCount)]);
}

BOOLEAN RtlEqualSid(PSID Sid1, PSID Sid2)
{
    if (!RtlValidSid(Sid1) || !RtlValidSid(Sid2))
        return FALSE;
    ULONG length = RtlLengthSid(Sid1);
    return length == RtlLengthSid(Sid2) && std::memcmp(Sid1, Sid2, length) == 0;
}

NTSTATUS RtlCopySid(ULONG DestinationSidLength, PSID DestinationSid, PSID SourceSid)
{
    if (!RtlValidSid(SourceSid) || !DestinationSid)
        return STATUS_INVALID_PARAMETER;
    ULONG length = RtlLengthSid(SourceSid);
    if (DestinationSidLength < length)
        return STATUS_BUFFER_TOO_SMALL;
    std::memmove(DestinationSid, SourceSid, length);
    return STATUS_SUCCESS;
}

VOID SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext)
{
    std::memset(SubjectContext, 0, sizeof *SubjectContext);
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    SubjectContext->ClientToken =
        PsReferenceImpersonationToken(PsGetCurrentThread(), nullptr, nullptr, &level);
    SubjectContext->ImpersonationLevel = level;
    SubjectContext->PrimaryToken = PsReferencePrimaryToken(PsGetCurrentProcess());
}

VOID SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext)
{
    if (SubjectContext->ClientToken)
        PsDereferenceImpersonationToken(SubjectContext->ClientToken);
    if (SubjectContext->PrimaryToken)
        PsDereferencePrimaryToken(SubjectContext->PrimaryToken);
    SubjectContext->ClientToken = nullptr;
    SubjectContext->PrimaryToken = nullptr;
}

PACCESS_TOKEN SeQuerySubjectContextToken(PSECURITY_SUBJECT_CONTEXT SubjectContext)
{
    return SubjectContext->ClientToken ? SubjectContext->ClientToken : SubjectContext->PrimaryToken;
}
