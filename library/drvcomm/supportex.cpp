// Initialisation, pool, letters and prefixes, bounded strings, sleep, privileges and the
// process image name.
#include "supportex.h"

namespace {

// Found once by SupportEx_Initialize; read-only afterwards.
ULONG g_ProcessNameOffset = 0;

// Process objects are scanned up to here; the kernel keeps the image name well inside.
constexpr ULONG kProcessScanLimit = 0x3000;

VOID FindProcessNameOffset()
{
    // Driver entry runs in the system process, whose image name is "System".
    const char* process = reinterpret_cast<const char*>(PsGetCurrentProcess());
    static const char kSystem[] = "System";
    g_ProcessNameOffset = 0;
    for (ULONG offset = 0; offset < kProcessScanLimit; ++offset) {
        if (RtlCompareMemory(process + offset, kSystem, 6) == 6) {
            g_ProcessNameOffset = offset;
            return;
        }
    }
}

} // namespace

NTSTATUS SupportEx_Initialize()
{
    FindProcessNameOffset();
    VerEx_Initialize();
    return STATUS_SUCCESS;
}

VOID SupportEx_Uninitialize() {}

PVOID SupportEx_AllocatePool(SIZE_T Size)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, Size, SUPPORTEX_POOL_TAG);
    if (block != nullptr) {
        RtlZeroMemory(block, Size);
    }
    return block;
}

VOID SupportEx_FreePool(PVOID Block)
{
    if (Block != nullptr) {
        ExFreePoolWithTag(Block, 0);
    }
}

WCHAR SupportEx_UpcaseLetter(WCHAR Letter)
{
    if (Letter >= u'a' && Letter <= u'z') {
        return static_cast<WCHAR>(Letter - 32);
    }
    return Letter;
}

BOOLEAN SupportEx_HasPrefix(PCWSTR Prefix, PCWSTR String, BOOLEAN CaseInsensitive)
{
    if (Prefix == nullptr || String == nullptr) {
        return FALSE;
    }
    SIZE_T prefixLength = 0;
    SIZE_T stringLength = 0;
    while (Prefix[prefixLength] != 0) {
        ++prefixLength;
    }
    while (String[stringLength] != 0) {
        ++stringLength;
    }
    if (prefixLength > stringLength) {
        return FALSE;
    }
    for (SIZE_T i = 0; i < prefixLength; ++i) {
        WCHAR a = Prefix[i];
        WCHAR b = String[i];
        if (CaseInsensitive) {
            a = SupportEx_UpcaseLetter(a);
            b = SupportEx_UpcaseLetter(b);
        }
        if (a != b) {
            return FALSE;
        }
    }
    return TRUE;
}

PUNICODE_STRING SupportEx_AllocateUnicodeString(ULONG CapacityBytes)
{
    SIZE_T blockSize = CapacityBytes == 0 ? 65536 : CapacityBytes + sizeof(UNICODE_STRING);
    SIZE_T bufferBytes = blockSize - sizeof(UNICODE_STRING);
    if (bufferBytes > MAXUSHORT) {
        bufferBytes = MAXUSHORT & ~1u;
    }
    auto* string = static_cast<PUNICODE_STRING>(
        ExAllocatePoolWithTag(PagedPool, blockSize, SUPPORTEX_POOL_TAG));
    if (string == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(string, blockSize);
    string->Length = 0;
    string->MaximumLength = static_cast<USHORT>(bufferBytes);
    string->Buffer = reinterpret_cast<PWSTR>(string + 1);
    return string;
}

VOID SupportEx_FreeUnicodeString(PUNICODE_STRING String)
{
    if (String != nullptr) {
        ExFreePoolWithTag(String, 0);
    }
}

VOID SupportEx_Sleep(ULONG Milliseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(Milliseconds) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

NTSTATUS SupportEx_AdjustPrivilege(ULONG Privilege, BOOLEAN Enable)
{
    PAGED_CODE();
    HANDLE token = nullptr;
    NTSTATUS status =
        ZwOpenProcessTokenEx(NtCurrentProcess(), TOKEN_ALL_ACCESS, OBJ_KERNEL_HANDLE, &token);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid.LowPart = Privilege;
    privileges.Privileges[0].Luid.HighPart = 0;
    privileges.Privileges[0].Attributes = Enable ? SE_PRIVILEGE_ENABLED : 0;
    status =
        ZwAdjustPrivilegesToken(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr);
    ZwClose(token);
    return status;
}

ULONG SupportEx_GetProcessNameOffset()
{
    return g_ProcessNameOffset;
}

VOID SupportEx_GetProcessImageName(PCHAR Buffer, ULONG Size)
{
    if (g_ProcessNameOffset == 0 || Buffer == nullptr || Size == 0) {
        return;
    }
    const char* name = reinterpret_cast<const char*>(PsGetCurrentProcess()) + g_ProcessNameOffset;
    ULONG i = 0;
    for (; i + 1 < Size && name[i] != 0; ++i) {
        Buffer[i] = name[i];
    }
    Buffer[i] = 0;
}
