// Zw file and registry services and client security.
//
// Files: NT paths resolve through the object namespace. A path that ends at a host volume
// (\Device\HarddiskVolumeN, reached from \??\C: and the other drive links) opens a host file
// below that volume's folder; a path that ends at any other device opens that device through
// its driver (IRP_MJ_CREATE), and reads, writes and controls on the handle become IRPs.
// Registry: \REGISTRY\MACHINE only, kept in the state folder; names ignore letter case.
// Security: every thread has a primary token (the service's identity for system threads, the
// client's for a thread serving a client) and may impersonate a client context; host files are
// opened with the fs credentials of the impersonated identity.
//
// All routines run at PASSIVE_LEVEL, validate their arguments (null pointers, lengths, handles:
// STATUS_INVALID_HANDLE) and return a status; none raises.
#pragma once

#include "wdm.h"

// ---------------------------------------------------------------------------------------------
// File information

typedef struct _FILE_BASIC_INFORMATION {
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    ULONG FileAttributes;
} FILE_BASIC_INFORMATION, *PFILE_BASIC_INFORMATION;
static_assert(sizeof(FILE_BASIC_INFORMATION) == 40);
static_assert(offsetof(FILE_BASIC_INFORMATION, FileAttributes) == 32);

typedef struct _FILE_STANDARD_INFORMATION {
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    ULONG NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
} FILE_STANDARD_INFORMATION, *PFILE_STANDARD_INFORMATION;
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24);
static_assert(offsetof(FILE_STANDARD_INFORMATION, NumberOfLinks) == 16);
static_assert(offsetof(FILE_STANDARD_INFORMATION, Directory) == 21);

typedef struct _FILE_POSITION_INFORMATION {
    LARGE_INTEGER CurrentByteOffset;
} FILE_POSITION_INFORMATION, *PFILE_POSITION_INFORMATION;
static_assert(sizeof(FILE_POSITION_INFORMATION) == 8);

typedef struct _FILE_ALIGNMENT_INFORMATION {
    ULONG AlignmentRequirement; // FILE_*_ALIGNMENT: the required alignment minus one
} FILE_ALIGNMENT_INFORMATION, *PFILE_ALIGNMENT_INFORMATION;
static_assert(sizeof(FILE_ALIGNMENT_INFORMATION) == 4);

typedef struct _FILE_END_OF_FILE_INFORMATION {
    LARGE_INTEGER EndOfFile;
} FILE_END_OF_FILE_INFORMATION, *PFILE_END_OF_FILE_INFORMATION;
static_assert(sizeof(FILE_END_OF_FILE_INFORMATION) == 8);

typedef struct _FILE_ALLOCATION_INFORMATION {
    LARGE_INTEGER AllocationSize;
} FILE_ALLOCATION_INFORMATION, *PFILE_ALLOCATION_INFORMATION;
static_assert(sizeof(FILE_ALLOCATION_INFORMATION) == 8);

// File-system controls (FILE_DEVICE_FILE_SYSTEM, METHOD_BUFFERED).
#define FSCTL_LOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 6, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_UNLOCK_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 7, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_DISMOUNT_VOLUME CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 8, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define FSCTL_SET_SPARSE CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 49, METHOD_BUFFERED, FILE_SPECIAL_ACCESS)
static_assert(FSCTL_LOCK_VOLUME == 0x90018);
static_assert(FSCTL_UNLOCK_VOLUME == 0x9001C);
static_assert(FSCTL_DISMOUNT_VOLUME == 0x90020);
static_assert(FSCTL_SET_SPARSE == 0x900C4);

typedef struct _FILE_SET_SPARSE_BUFFER {
    BOOLEAN SetSparse;
} FILE_SET_SPARSE_BUFFER, *PFILE_SET_SPARSE_BUFFER;

// ---------------------------------------------------------------------------------------------
// File services

// Opens or creates a file. Host files: CreateDisposition FILE_SUPERSEDE .. FILE_OVERWRITE_IF;
// Information receives FILE_SUPERSEDED, FILE_OPENED, FILE_CREATED, FILE_OVERWRITTEN or, on
// failure, FILE_EXISTS / FILE_DOES_NOT_EXIST. ShareAccess is enforced between the service's own
// handles of one host file (STATUS_SHARING_VIOLATION) until their last handle closes.
// FILE_NO_INTERMEDIATE_BUFFERING uses direct I/O where the host file system takes it and
// requires offsets and lengths in multiples of 512 either way (else STATUS_INVALID_PARAMETER).
// FILE_SYNCHRONOUS_IO_(NON)ALERT keeps a current byte offset and needs SYNCHRONIZE in
// DesiredAccess. While the thread impersonates, the path is walked and the file opened with the
// client's fs credentials. AllocationSize is reserved for new and overwritten files; extended
// attributes (STATUS_EAS_NOT_SUPPORTED) and FILE_DELETE_ON_CLOSE (STATUS_NOT_SUPPORTED) are not
// available. Paths ending at another device open it through its driver (IRP_MJ_CREATE).
NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                    ULONG ShareAccess, ULONG OpenOptions);

// Reads or writes at ByteOffset (NULL: the current byte offset of a synchronous handle). The
// transfer is done when the call returns; Event, when given, is cleared first and set at the end;
// ApcRoutine must be NULL. A read that starts at or past the end of file fails with
// STATUS_END_OF_FILE; a short read succeeds with Information = bytes read. Device handles send
// IRP_MJ_READ / IRP_MJ_WRITE.
NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                    PLARGE_INTEGER ByteOffset, PULONG Key);
NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER ByteOffset, PULONG Key);

// Host files: FileBasicInformation, FileStandardInformation, FilePositionInformation,
// FileAlignmentInformation (query); FilePositionInformation, FileEndOfFileInformation,
// FileAllocationInformation (set). A buffer shorter than the record gives
// STATUS_INFO_LENGTH_MISMATCH; other classes STATUS_INVALID_INFO_CLASS. A file that is not
// sparse gets a longer end of file allocated, as the platform allocates clusters for it. Device
// handles: STATUS_INVALID_DEVICE_REQUEST (the driver answers no information requests).
NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                PVOID FileInformation, ULONG Length,
                                FILE_INFORMATION_CLASS FileInformationClass);
NTSTATUS ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                              PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass);

// Host files: FSCTL_SET_SPARSE (no input, or FILE_SET_SPARSE_BUFFER; clearing it allocates the
// holes). Volume controls (lock, unlock, dismount) on device handles go to the hook set with
// ntos::set_volume_control_hook, and fail with STATUS_INVALID_DEVICE_REQUEST without one and on
// host volumes. Event and ApcRoutine must be NULL here and for ZwDeviceIoControlFile.
NTSTATUS ZwFsControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                         PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode,
                         PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                         ULONG OutputBufferLength);
NTSTATUS ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                               PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                               PVOID OutputBuffer, ULONG OutputBufferLength);
NTSTATUS ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);

// ---------------------------------------------------------------------------------------------
// Registry

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_WOW64_64KEY 0x0100
#define KEY_WOW64_32KEY 0x0200
#define KEY_READ                                                                                   \
    ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) &              \
     (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_EXECUTE ((KEY_READ) & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS                                                                             \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |                 \
      KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK) &                                     \
     (~SYNCHRONIZE))
static_assert(KEY_READ == 0x20019);
static_assert(KEY_WRITE == 0x20006);
static_assert(KEY_ALL_ACCESS == 0xF003F);

#ifndef STATUS_EAS_NOT_SUPPORTED
#define STATUS_EAS_NOT_SUPPORTED ((NTSTATUS)0xC000004FL)
#endif

#ifndef STATUS_CHILD_MUST_BE_VOLATILE
#define STATUS_CHILD_MUST_BE_VOLATILE ((NTSTATUS)0xC0000181L)
#endif

#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_OPTION_CREATE_LINK 0x00000002L
#define REG_OPTION_BACKUP_RESTORE 0x00000004L
#define REG_OPTION_OPEN_LINK 0x00000008L

#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_RESOURCE_LIST 8
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
    KeyValueFullInformationAlign64 = 3,
    KeyValuePartialInformationAlign64 = 4,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength; // bytes
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;
static_assert(offsetof(KEY_VALUE_BASIC_INFORMATION, Name) == 12);

typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset; // from the start of the record
    ULONG DataLength;
    ULONG NameLength; // bytes
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;
static_assert(offsetof(KEY_VALUE_FULL_INFORMATION, Name) == 20);
static_assert(sizeof(KEY_VALUE_FULL_INFORMATION) == 24);

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);
static_assert(sizeof(KEY_VALUE_PARTIAL_INFORMATION) == 16);

// Creates or opens one key: its parent must exist (else STATUS_OBJECT_NAME_NOT_FOUND). The name
// is absolute (\REGISTRY\MACHINE\...) or relative to RootDirectory, a key handle.
// REG_OPTION_VOLATILE keys are removed when the layer next starts; their subkeys must be
// volatile too (STATUS_CHILD_MUST_BE_VOLATILE).
NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition);
NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes);
// Needs KEY_SET_VALUE on the handle. ValueName may be empty (the key's default value).
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize);
// Needs KEY_QUERY_VALUE. ResultLength always receives the size of the whole record. A buffer
// shorter than the record's fixed part gives STATUS_BUFFER_TOO_SMALL and nothing is written;
// one that holds the fixed part but not all of it gives STATUS_BUFFER_OVERFLOW with the fixed
// part filled. STATUS_OBJECT_NAME_NOT_FOUND when the value does not exist.
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
// Values in order of their folded names; STATUS_NO_MORE_ENTRIES past the last one.
NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
// Needs KEY_SET_VALUE.
NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
// Values are on disk when ZwSetValueKey returns; this only checks the handle.
NTSTATUS ZwFlushKey(HANDLE KeyHandle);

// ---------------------------------------------------------------------------------------------
// Tokens and client security

typedef struct _LUID {
    ULONG LowPart;
    LONG HighPart;
} LUID, *PLUID;
static_assert(sizeof(LUID) == 8);

typedef struct _LUID_AND_ATTRIBUTES {
    LUID Luid;
    ULONG Attributes;
} LUID_AND_ATTRIBUTES, *PLUID_AND_ATTRIBUTES;
static_assert(sizeof(LUID_AND_ATTRIBUTES) == 12);

typedef struct _TOKEN_PRIVILEGES {
    ULONG PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;
static_assert(sizeof(TOKEN_PRIVILEGES) == 16);

#define SE_PRIVILEGE_ENABLED_BY_DEFAULT 0x00000001L
#define SE_PRIVILEGE_ENABLED 0x00000002L
#define SE_PRIVILEGE_REMOVED 0x00000004L
#define SE_PRIVILEGE_USED_FOR_ACCESS 0x80000000L

// Privilege numbers (the low part of each privilege's LUID).
#define SE_MIN_WELL_KNOWN_PRIVILEGE 2
#define SE_CREATE_TOKEN_PRIVILEGE 2
#define SE_ASSIGNPRIMARYTOKEN_PRIVILEGE 3
#define SE_LOCK_MEMORY_PRIVILEGE 4
#define SE_INCREASE_QUOTA_PRIVILEGE 5
#define SE_MACHINE_ACCOUNT_PRIVILEGE 6
#define SE_TCB_PRIVILEGE 7
#define SE_SECURITY_PRIVILEGE 8
#define SE_TAKE_OWNERSHIP_PRIVILEGE 9
#define SE_LOAD_DRIVER_PRIVILEGE 10
#define SE_SYSTEM_PROFILE_PRIVILEGE 11
#define SE_SYSTEMTIME_PRIVILEGE 12
#define SE_PROF_SINGLE_PROCESS_PRIVILEGE 13
#define SE_INC_BASE_PRIORITY_PRIVILEGE 14
#define SE_CREATE_PAGEFILE_PRIVILEGE 15
#define SE_CREATE_PERMANENT_PRIVILEGE 16
#define SE_BACKUP_PRIVILEGE 17
#define SE_RESTORE_PRIVILEGE 18
#define SE_SHUTDOWN_PRIVILEGE 19
#define SE_DEBUG_PRIVILEGE 20
#define SE_AUDIT_PRIVILEGE 21
#define SE_SYSTEM_ENVIRONMENT_PRIVILEGE 22
#define SE_CHANGE_NOTIFY_PRIVILEGE 23
#define SE_REMOTE_SHUTDOWN_PRIVILEGE 24
#define SE_UNDOCK_PRIVILEGE 25
#define SE_SYNC_AGENT_PRIVILEGE 26
#define SE_ENABLE_DELEGATION_PRIVILEGE 27
#define SE_MANAGE_VOLUME_PRIVILEGE 28
#define SE_IMPERSONATE_PRIVILEGE 29
#define SE_CREATE_GLOBAL_PRIVILEGE 30
#define SE_TRUSTED_CREDMAN_ACCESS_PRIVILEGE 31
#define SE_RELABEL_PRIVILEGE 32
#define SE_INC_WORKING_SET_PRIVILEGE 33
#define SE_TIME_ZONE_PRIVILEGE 34
#define SE_CREATE_SYMBOLIC_LINK_PRIVILEGE 35
#define SE_MAX_WELL_KNOWN_PRIVILEGE SE_CREATE_SYMBOLIC_LINK_PRIVILEGE

#define TOKEN_ASSIGN_PRIMARY 0x0001
#define TOKEN_DUPLICATE 0x0002
#define TOKEN_IMPERSONATE 0x0004
#define TOKEN_QUERY 0x0008
#define TOKEN_QUERY_SOURCE 0x0010
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_ADJUST_GROUPS 0x0040
#define TOKEN_ADJUST_DEFAULT 0x0080
#define TOKEN_ADJUST_SESSIONID 0x0100
#define TOKEN_ALL_ACCESS                                                                           \
    (STANDARD_RIGHTS_REQUIRED | TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE |       \
     TOKEN_QUERY | TOKEN_QUERY_SOURCE | TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS |            \
     TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID)
static_assert(TOKEN_ALL_ACCESS == 0xF01FF);

typedef PVOID PACCESS_TOKEN;

typedef enum _TOKEN_TYPE { TokenPrimary = 1, TokenImpersonation = 2 } TOKEN_TYPE, *PTOKEN_TYPE;

typedef enum _SECURITY_IMPERSONATION_LEVEL {
    SecurityAnonymous = 0,
    SecurityIdentification = 1,
    SecurityImpersonation = 2,
    SecurityDelegation = 3,
} SECURITY_IMPERSONATION_LEVEL,
    *PSECURITY_IMPERSONATION_LEVEL;

typedef BOOLEAN SECURITY_CONTEXT_TRACKING_MODE, *PSECURITY_CONTEXT_TRACKING_MODE;
#define SECURITY_DYNAMIC_TRACKING (TRUE)
#define SECURITY_STATIC_TRACKING (FALSE)

typedef struct _SECURITY_QUALITY_OF_SERVICE {
    ULONG Length;
    SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
    SECURITY_CONTEXT_TRACKING_MODE ContextTrackingMode;
    BOOLEAN EffectiveOnly;
} SECURITY_QUALITY_OF_SERVICE, *PSECURITY_QUALITY_OF_SERVICE;
static_assert(sizeof(SECURITY_QUALITY_OF_SERVICE) == 12);

#define TOKEN_SOURCE_LENGTH 8
typedef struct _TOKEN_SOURCE {
    CHAR SourceName[TOKEN_SOURCE_LENGTH];
    LUID SourceIdentifier;
} TOKEN_SOURCE, *PTOKEN_SOURCE;
static_assert(sizeof(TOKEN_SOURCE) == 16);

typedef struct _TOKEN_CONTROL {
    LUID TokenId;
    LUID AuthenticationId;
    LUID ModifiedId;
    TOKEN_SOURCE TokenSource;
} TOKEN_CONTROL, *PTOKEN_CONTROL;
static_assert(sizeof(TOKEN_CONTROL) == 40);

typedef struct _SECURITY_CLIENT_CONTEXT {
    SECURITY_QUALITY_OF_SERVICE SecurityQos;
    PACCESS_TOKEN ClientToken;
    BOOLEAN DirectlyAccessClientToken;
    BOOLEAN DirectAccessEffectiveOnly;
    BOOLEAN ServerIsRemote;
    TOKEN_CONTROL ClientTokenControl;
} SECURITY_CLIENT_CONTEXT, *PSECURITY_CLIENT_CONTEXT;
static_assert(offsetof(SECURITY_CLIENT_CONTEXT, ClientToken) == 16);
static_assert(offsetof(SECURITY_CLIENT_CONTEXT, ClientTokenControl) == 28);
static_assert(sizeof(SECURITY_CLIENT_CONTEXT) == 72);

// Captures the client thread's effective token (its impersonation token, else its primary
// token). Static tracking takes a copy as an impersonation token at the requested level;
// dynamic tracking references the token itself. The context holds one token reference until
// SeDeleteClientSecurity. STATUS_BAD_IMPERSONATION_LEVEL when the client impersonates at a level
// below the one asked for.
NTSTATUS SeCreateClientSecurity(PETHREAD ClientThread,
                                PSECURITY_QUALITY_OF_SERVICE ClientSecurityQos,
                                BOOLEAN RemoteSession, PSECURITY_CLIENT_CONTEXT ClientContext);
// Makes ServerThread (NULL: the current thread) impersonate the context. Without an enabled
// SeImpersonatePrivilege in the server's primary token a client of another identity is
// impersonated at SecurityIdentification only, and host files cannot be opened then
// (STATUS_BAD_IMPERSONATION_LEVEL), as on the platform.
NTSTATUS SeImpersonateClientEx(PSECURITY_CLIENT_CONTEXT ClientContext, PETHREAD ServerThread);
VOID SeImpersonateClient(PSECURITY_CLIENT_CONTEXT ClientContext, PETHREAD ServerThread);
// Ends the current thread's impersonation (nothing happens when it does not impersonate).
VOID PsRevertToSelf();

TOKEN_TYPE SeTokenType(PACCESS_TOKEN Token);
SECURITY_IMPERSONATION_LEVEL SeTokenImpersonationLevel(PACCESS_TOKEN Token);
BOOLEAN SeTokenIsAdmin(PACCESS_TOKEN Token);

// Referenced tokens; each reference goes back through the matching Dereference.
PACCESS_TOKEN PsReferencePrimaryToken(PEPROCESS Process);
VOID PsDereferencePrimaryToken(PACCESS_TOKEN PrimaryToken);
// NULL when the thread does not impersonate.
PACCESS_TOKEN PsReferenceImpersonationToken(PETHREAD Thread, PBOOLEAN CopyOnOpen,
                                            PBOOLEAN EffectiveOnly,
                                            PSECURITY_IMPERSONATION_LEVEL ImpersonationLevel);
VOID PsDereferenceImpersonationToken(PACCESS_TOKEN ImpersonationToken);

#define SeDeleteClientSecurity(C)                                                                  \
    do {                                                                                           \
        if (SeTokenType((C)->ClientToken) == TokenPrimary)                                         \
            PsDereferencePrimaryToken((C)->ClientToken);                                           \
        else                                                                                       \
            PsDereferenceImpersonationToken((C)->ClientToken);                                     \
    } while (0)

// True when the privilege is enabled in the current thread's effective token.
BOOLEAN SeSinglePrivilegeCheck(LUID PrivilegeValue, KPROCESSOR_MODE PreviousMode);

// ---------------------------------------------------------------------------------------------
// Security identifiers and token queries

#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15
#define SECURITY_MAX_SID_SIZE (8 + SID_MAX_SUB_AUTHORITIES * 4)

typedef struct _SID_IDENTIFIER_AUTHORITY {
    UCHAR Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[1];
} SID, *PISID;
typedef PVOID PSID;
static_assert(sizeof(SID) == 12);
static_assert(SECURITY_MAX_SID_SIZE == 68);

#define SECURITY_NT_AUTHORITY                                                                      \
    {                                                                                              \
        0, 0, 0, 0, 0, 5                                                                           \
    }
#define SECURITY_LOCAL_SYSTEM_RID 18

typedef struct _SID_AND_ATTRIBUTES {
    PSID Sid;
    ULONG Attributes;
} SID_AND_ATTRIBUTES, *PSID_AND_ATTRIBUTES;
static_assert(sizeof(SID_AND_ATTRIBUTES) == 16);

typedef struct _TOKEN_USER {
    SID_AND_ATTRIBUTES User;
} TOKEN_USER, *PTOKEN_USER;

typedef enum _TOKEN_INFORMATION_CLASS {
    TokenUser = 1,
    TokenGroups,
    TokenPrivileges,
    TokenOwner,
    TokenPrimaryGroup,
    TokenDefaultDacl,
    TokenSource,
    TokenType,
    TokenImpersonationLevel,
    TokenStatistics,
} TOKEN_INFORMATION_CLASS,
    *PTOKEN_INFORMATION_CLASS;

// The user of a token: the system account's tokens are LocalSystem (S-1-5-18); a client's token
// names the host user as S-1-22-1-<uid>, so one host user is one SID in every process. Only
// TokenUser is kept (STATUS_NOT_IMPLEMENTED otherwise). The buffer comes from paged pool and
// goes back through ExFreePool.
NTSTATUS SeQueryInformationToken(PACCESS_TOKEN Token, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                 PVOID* TokenInformation);

// Any IRQL.
BOOLEAN RtlValidSid(PSID Sid);
ULONG RtlLengthSid(PSID Sid);
BOOLEAN RtlEqualSid(PSID Sid1, PSID Sid2);
NTSTATUS RtlCopySid(ULONG DestinationSidLength, PSID DestinationSid, PSID SourceSid);

typedef struct _SECURITY_SUBJECT_CONTEXT {
    PACCESS_TOKEN ClientToken;
    SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
    PACCESS_TOKEN PrimaryToken;
    PVOID ProcessAuditId;
} SECURITY_SUBJECT_CONTEXT, *PSECURITY_SUBJECT_CONTEXT;
static_assert(sizeof(SECURITY_SUBJECT_CONTEXT) == 32);
static_assert(offsetof(SECURITY_SUBJECT_CONTEXT, PrimaryToken) == 16);

// The current thread's impersonation token (if any) and its process's primary token, each with
// a reference that SeReleaseSubjectContext drops.
VOID SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
VOID SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT SubjectContext);
// The effective token of a captured context: the impersonation token, else the primary one.
PACCESS_TOKEN SeQuerySubjectContextToken(PSECURITY_SUBJECT_CONTEXT SubjectContext);

#ifndef NtCurrentProcess
#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#endif
#ifndef ZwCurrentProcess
#define ZwCurrentProcess() NtCurrentProcess()
#endif

// The primary token of a process handle (NtCurrentProcess() for the current process).
NTSTATUS ZwOpenProcessTokenEx(HANDLE ProcessHandle, ACCESS_MASK DesiredAccess,
                              ULONG HandleAttributes, PHANDLE TokenHandle);
NTSTATUS ZwOpenProcessToken(HANDLE ProcessHandle, ACCESS_MASK DesiredAccess, PHANDLE TokenHandle);
// Needs TOKEN_ADJUST_PRIVILEGES (and TOKEN_QUERY when PreviousState is given). Privileges the
// token does not hold are skipped and the call returns STATUS_NOT_ALL_ASSIGNED; a PreviousState
// buffer that is too small gives STATUS_BUFFER_TOO_SMALL with nothing changed.
NTSTATUS ZwAdjustPrivilegesToken(HANDLE TokenHandle, BOOLEAN DisableAllPrivileges,
                                 PTOKEN_PRIVILEGES NewState, ULONG BufferLength,
                                 PTOKEN_PRIVILEGES PreviousState, PULONG ReturnLength);
