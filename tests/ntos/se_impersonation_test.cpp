// Tokens, client security contexts and impersonation: host files open with the rights of the
// impersonated client, per thread.
#include "host_env_test.h"

#include <ntifs.h>
#include <ntos_layer.h>

#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using host_env::nt_data;
using host_env::us;

namespace {

constexpr uint32_t nobody = 65534;

NTSTATUS open_file(const std::u16string& path, ULONG disposition, HANDLE* handle)
{
    UNICODE_STRING name = us(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK iosb{};
    return ZwCreateFile(handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &oa, &iosb, nullptr,
                        FILE_ATTRIBUTE_NORMAL, 0, disposition,
                        FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

NTSTATUS try_open(const std::u16string& path)
{
    HANDLE h = nullptr;
    NTSTATUS status = open_file(path, FILE_OPEN, &h);
    if (NT_SUCCESS(status))
        ZwClose(h);
    return status;
}

// A client process of nobody and a context captured from a thread acting in it.
struct client {
    PEPROCESS process = nullptr;
    SECURITY_CLIENT_CONTEXT context{};
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    client(SECURITY_IMPERSONATION_LEVEL level, BOOLEAN tracking)
    {
        process = ntos::create_client_process("client.exe", 1, nobody, nobody, 0);
        ntos::set_client_identity(process, nobody, nobody, {nobody});
        ntos::process_attachment attach(process);
        SECURITY_QUALITY_OF_SERVICE qos{sizeof qos, level, tracking, FALSE};
        status = SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, &context);
    }
    ~client()
    {
        if (NT_SUCCESS(status))
            SeDeleteClientSecurity(&context);
        ntos::close_client_process(process);
        ObDereferenceObject(process);
    }
};

NTSTATUS set_system_privilege(ULONG privilege, bool enable, TOKEN_PRIVILEGES* previous,
                              ULONG previous_length, ULONG* returned)
{
    HANDLE token = nullptr;
    NTSTATUS status =
        ZwOpenProcessTokenEx(NtCurrentProcess(), TOKEN_ALL_ACCESS, OBJ_KERNEL_HANDLE, &token);
    if (!NT_SUCCESS(status))
        return status;
    TOKEN_PRIVILEGES change{1, {{{privilege, 0}, enable ? ULONG(SE_PRIVILEGE_ENABLED) : 0u}}};
    status = ZwAdjustPrivilegesToken(token, FALSE, &change, previous_length, previous, returned);
    ZwClose(token);
    return status;
}

class Impersonation : public ::testing::Test {
protected:
    void SetUp() override
    {
        host_env::start();
        secret_ = host_env::start().data + "/secret";
        std::ofstream(secret_) << "root only";
        ::chmod(secret_.c_str(), 0600);
    }
    std::string secret_;
};

} // namespace

TEST_F(Impersonation, ImpersonatedThreadOpensFilesWithTheClientsRights)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "switching fs credentials needs root";
    client c(SecurityImpersonation, SECURITY_STATIC_TRACKING);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    // Static tracking freezes the client's identity in an impersonation token.
    EXPECT_EQ(SeTokenType(c.context.ClientToken), TokenImpersonation);
    EXPECT_FALSE(c.context.DirectlyAccessClientToken);

    ASSERT_EQ(try_open(nt_data("secret")), STATUS_SUCCESS);
    ASSERT_EQ(SeImpersonateClientEx(&c.context, nullptr), STATUS_SUCCESS);
    struct revert {
        ~revert() { PsRevertToSelf(); }
    } on_exit;
    BOOLEAN copy = TRUE, effective = TRUE;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    PACCESS_TOKEN token =
        PsReferenceImpersonationToken(PsGetCurrentThread(), &copy, &effective, &level);
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(level, SecurityImpersonation);
    PsDereferenceImpersonationToken(token);

    EXPECT_EQ(try_open(nt_data("secret")), STATUS_ACCESS_DENIED);
    // Only this thread changed: another one of the service still has root's rights.
    NTSTATUS other = STATUS_UNSUCCESSFUL;
    std::thread([&] { other = try_open(nt_data("secret")); }).join();
    EXPECT_EQ(other, STATUS_SUCCESS);
    // New files belong to the client.
    std::string created = host_env::start().data + "/by-client";
    ::unlink(created.c_str());
    HANDLE h = nullptr;
    ASSERT_EQ(open_file(nt_data("by-client"), FILE_CREATE, &h), STATUS_SUCCESS);
    ZwClose(h);
    struct stat st;
    ASSERT_EQ(::stat(created.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, nobody);
    EXPECT_EQ(st.st_gid, nobody);

    PsRevertToSelf();
    EXPECT_EQ(PsReferenceImpersonationToken(PsGetCurrentThread(), &copy, &effective, &level),
              nullptr);
    EXPECT_EQ(try_open(nt_data("secret")), STATUS_SUCCESS);
    PsRevertToSelf(); // reverting twice is harmless
}

TEST_F(Impersonation, WithoutSeImpersonatePrivilegeTheServerOnlyIdentifies)
{
    client c(SecurityImpersonation, SECURITY_DYNAMIC_TRACKING);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    // Dynamic tracking refers to the client's own primary token.
    EXPECT_EQ(SeTokenType(c.context.ClientToken), TokenPrimary);
    EXPECT_TRUE(c.context.DirectlyAccessClientToken);

    TOKEN_PRIVILEGES previous{};
    ULONG returned = 0;
    ASSERT_EQ(set_system_privilege(SE_IMPERSONATE_PRIVILEGE, false, &previous, sizeof previous,
                                   &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(previous.PrivilegeCount, 1u);
    EXPECT_EQ(previous.Privileges[0].Luid.LowPart, ULONG(SE_IMPERSONATE_PRIVILEGE));
    EXPECT_EQ(previous.Privileges[0].Attributes, ULONG(SE_PRIVILEGE_ENABLED));
    EXPECT_FALSE(SeSinglePrivilegeCheck(LUID{SE_IMPERSONATE_PRIVILEGE, 0}, KernelMode));

    ASSERT_EQ(SeImpersonateClientEx(&c.context, nullptr), STATUS_SUCCESS);
    BOOLEAN copy, effective;
    SECURITY_IMPERSONATION_LEVEL level = SecurityDelegation;
    PACCESS_TOKEN token =
        PsReferenceImpersonationToken(PsGetCurrentThread(), &copy, &effective, &level);
    EXPECT_EQ(level, SecurityIdentification);
    PsDereferenceImpersonationToken(token);
    EXPECT_EQ(try_open(nt_data("secret")), STATUS_BAD_IMPERSONATION_LEVEL);
    // A client impersonated below the level asked for cannot be captured again at that level.
    SECURITY_QUALITY_OF_SERVICE qos{sizeof qos, SecurityImpersonation, SECURITY_STATIC_TRACKING,
                                    FALSE};
    SECURITY_CLIENT_CONTEXT again{};
    EXPECT_EQ(SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, &again),
              STATUS_BAD_IMPERSONATION_LEVEL);
    PsRevertToSelf();

    // The volume worker's step: enabling privilege 29 in the system process's token.
    ASSERT_EQ(set_system_privilege(SE_IMPERSONATE_PRIVILEGE, true, nullptr, 0, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(SeSinglePrivilegeCheck(LUID{SE_IMPERSONATE_PRIVILEGE, 0}, KernelMode));
    ASSERT_EQ(SeImpersonateClientEx(&c.context, nullptr), STATUS_SUCCESS);
    token = PsReferenceImpersonationToken(PsGetCurrentThread(), &copy, &effective, &level);
    EXPECT_EQ(level, SecurityImpersonation);
    PsDereferenceImpersonationToken(token);
    PsRevertToSelf();
}

TEST_F(Impersonation, PrivilegeAdjustmentFollowsTheTokensContents)
{
    PEPROCESS process = ntos::create_client_process("user.exe", 1, nobody, nobody, 0);
    {
        ntos::process_attachment attach(process);
        HANDLE token = nullptr;
        ASSERT_EQ(
            ZwOpenProcessTokenEx(NtCurrentProcess(), TOKEN_ALL_ACCESS, OBJ_KERNEL_HANDLE, &token),
            STATUS_SUCCESS);
        // An ordinary user's token does not hold SeImpersonatePrivilege.
        TOKEN_PRIVILEGES change{1, {{{SE_IMPERSONATE_PRIVILEGE, 0}, SE_PRIVILEGE_ENABLED}}};
        EXPECT_EQ(ZwAdjustPrivilegesToken(token, FALSE, &change, 0, nullptr, nullptr),
                  STATUS_NOT_ALL_ASSIGNED);
        EXPECT_FALSE(SeSinglePrivilegeCheck(LUID{SE_IMPERSONATE_PRIVILEGE, 0}, KernelMode));
        // It holds SeShutdownPrivilege, disabled; a previous state that does not fit changes
        // nothing.
        change.Privileges[0].Luid.LowPart = SE_SHUTDOWN_PRIVILEGE;
        ULONG needed = 0;
        TOKEN_PRIVILEGES previous{};
        EXPECT_EQ(ZwAdjustPrivilegesToken(token, FALSE, &change, 4, &previous, &needed),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(needed, sizeof(TOKEN_PRIVILEGES));
        EXPECT_FALSE(SeSinglePrivilegeCheck(LUID{SE_SHUTDOWN_PRIVILEGE, 0}, KernelMode));
        EXPECT_EQ(
            ZwAdjustPrivilegesToken(token, FALSE, &change, sizeof previous, &previous, &needed),
            STATUS_SUCCESS);
        EXPECT_TRUE(SeSinglePrivilegeCheck(LUID{SE_SHUTDOWN_PRIVILEGE, 0}, KernelMode));
        EXPECT_EQ(ZwAdjustPrivilegesToken(token, FALSE, nullptr, 0, nullptr, nullptr),
                  STATUS_INVALID_PARAMETER);
        ZwClose(token);

        ASSERT_EQ(ZwOpenProcessTokenEx(NtCurrentProcess(), TOKEN_QUERY, OBJ_KERNEL_HANDLE, &token),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwAdjustPrivilegesToken(token, FALSE, &change, 0, nullptr, nullptr),
                  STATUS_ACCESS_DENIED);
        ZwClose(token);
        EXPECT_EQ(ZwAdjustPrivilegesToken(token, FALSE, &change, 0, nullptr, nullptr),
                  STATUS_INVALID_HANDLE);
    }
    // The system process keeps its own privileges.
    EXPECT_TRUE(SeSinglePrivilegeCheck(LUID{SE_TCB_PRIVILEGE, 0}, KernelMode));
    EXPECT_FALSE(SeSinglePrivilegeCheck(LUID{SE_TCB_PRIVILEGE, 1}, KernelMode));
    PACCESS_TOKEN system = PsReferencePrimaryToken(PsInitialSystemProcess());
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(SeTokenType(system), TokenPrimary);
    PsDereferencePrimaryToken(system);
    ntos::close_client_process(process);
    ObDereferenceObject(process);

    SECURITY_QUALITY_OF_SERVICE qos{sizeof qos, SecurityImpersonation, SECURITY_STATIC_TRACKING,
                                    FALSE};
    SECURITY_CLIENT_CONTEXT context{};
    EXPECT_EQ(SeCreateClientSecurity(nullptr, &qos, FALSE, &context), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SeCreateClientSecurity(PsGetCurrentThread(), nullptr, FALSE, &context),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SeImpersonateClientEx(nullptr, nullptr), STATUS_INVALID_PARAMETER);
}

namespace {

// The user of the effective token of the calling thread, as a driver asks for it.
std::vector<ULONG> effective_user()
{
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    PTOKEN_USER user = nullptr;
    std::vector<ULONG> out;
    if (NT_SUCCESS(SeQueryInformationToken(SeQuerySubjectContextToken(&subject), TokenUser,
                                           reinterpret_cast<PVOID*>(&user)))) {
        auto* sid = static_cast<SID*>(user->User.Sid);
        out.push_back(sid->IdentifierAuthority.Value[5]);
        for (UCHAR i = 0; i < sid->SubAuthorityCount; ++i)
            out.push_back(sid->SubAuthority[i]);
        ExFreePool(user);
    }
    SeReleaseSubjectContext(&subject);
    return out;
}

} // namespace

// Drivers tell users apart by the SID of the effective token: the system is LocalSystem, a
// client is its host user (S-1-22-1-uid) whatever process it connected from, and an impersonating
// thread is the user it impersonates.
TEST_F(Impersonation, TokenUserNamesTheHostUserOfTheEffectiveToken)
{
    EXPECT_EQ(effective_user(), (std::vector<ULONG>{5, 18}));
    PEPROCESS other = ntos::create_client_process("other.exe", 2, nobody, nobody, 0);
    {
        ntos::process_attachment attach(other);
        EXPECT_EQ(effective_user(), (std::vector<ULONG>{22, 1, nobody}));
    }
    ntos::close_client_process(other);
    ObDereferenceObject(other);

    client c(SecurityImpersonation, SECURITY_STATIC_TRACKING);
    ASSERT_EQ(c.status, STATUS_SUCCESS);
    ASSERT_EQ(SeImpersonateClientEx(&c.context, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(effective_user(), (std::vector<ULONG>{22, 1, nobody}));
    PsRevertToSelf();
    EXPECT_EQ(effective_user(), (std::vector<ULONG>{5, 18}));

    // Equal SIDs are equal byte for byte up to their length; a SID is copied only where it fits.
    PTOKEN_USER a = nullptr;
    PTOKEN_USER b = nullptr;
    ASSERT_EQ(
        SeQueryInformationToken(c.context.ClientToken, TokenUser, reinterpret_cast<PVOID*>(&a)),
        STATUS_SUCCESS);
    PACCESS_TOKEN system = PsReferencePrimaryToken(PsInitialSystemProcess());
    ASSERT_EQ(SeQueryInformationToken(system, TokenUser, reinterpret_cast<PVOID*>(&b)),
              STATUS_SUCCESS);
    EXPECT_FALSE(RtlEqualSid(a->User.Sid, b->User.Sid));
    UCHAR copy[SECURITY_MAX_SID_SIZE] = {};
    EXPECT_EQ(RtlCopySid(RtlLengthSid(a->User.Sid) - 1, copy, a->User.Sid),
              STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(RtlCopySid(sizeof(copy), copy, a->User.Sid), STATUS_SUCCESS);
    EXPECT_TRUE(RtlEqualSid(copy, a->User.Sid));
    EXPECT_FALSE(RtlValidSid(std::vector<UCHAR>(SECURITY_MAX_SID_SIZE, 0).data()));
    PVOID other_class = nullptr;
    EXPECT_EQ(SeQueryInformationToken(system, TokenGroups, &other_class), STATUS_NOT_IMPLEMENTED);
    ExFreePool(a);
    ExFreePool(b);
    PsDereferencePrimaryToken(system);
}
