// Registry access over full key paths.
#include "supportex.h"

namespace {

constexpr WCHAR kMachineRoot[] = u"\\REGISTRY\\MACHINE\\";

SIZE_T Length(PCWSTR Text)
{
    SIZE_T n = 0;
    while (Text[n] != 0) {
        ++n;
    }
    return n;
}

VOID InitName(PUNICODE_STRING Name, PCWSTR Text)
{
    SIZE_T bytes = Length(Text) * sizeof(WCHAR);
    if (bytes > MAXUSHORT - sizeof(WCHAR)) {
        bytes = (MAXUSHORT - sizeof(WCHAR)) & ~static_cast<SIZE_T>(1);
    }
    Name->Buffer = const_cast<PWSTR>(Text);
    Name->Length = static_cast<USHORT>(bytes);
    Name->MaximumLength = static_cast<USHORT>(bytes);
}

NTSTATUS OpenKey(PCWSTR Path, ACCESS_MASK Access, PHANDLE Key)
{
    UNICODE_STRING name;
    InitName(&name, Path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    return ZwOpenKey(Key, Access, &attributes);
}

NTSTATUS CreateKey(PCWSTR Path, ACCESS_MASK Access)
{
    UNICODE_STRING name;
    InitName(&name, Path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key = nullptr;
    ULONG disposition = 0;
    NTSTATUS status =
        ZwCreateKey(&key, Access, &attributes, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition);
    if (NT_SUCCESS(status)) {
        ZwClose(key);
    }
    return status;
}

} // namespace

NTSTATUS Reg_CreateKeyPath(PCWSTR KeyPath)
{
    PAGED_CODE();
    if (KeyPath == nullptr || !SupportEx_HasPrefix(kMachineRoot, KeyPath, TRUE)) {
        return STATUS_INVALID_PARAMETER;
    }
    SIZE_T length = Length(KeyPath);
    auto* copy = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, (length + 1) * sizeof(WCHAR), SUPPORTEX_POOL_TAG));
    if (copy == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(copy, KeyPath, (length + 1) * sizeof(WCHAR));
    if (length > 0 && copy[length - 1] == u'\\') {
        copy[--length] = 0;
    }
    NTSTATUS status = STATUS_SUCCESS;
    for (SIZE_T i = ARRAYSIZE(kMachineRoot) - 1; i < length; ++i) {
        if (copy[i] != u'\\') {
            continue;
        }
        copy[i] = 0;
        HANDLE key = nullptr;
        if (NT_SUCCESS(OpenKey(copy, KEY_READ, &key))) {
            ZwClose(key);
        } else {
            status = CreateKey(copy, KEY_READ);
        }
        copy[i] = u'\\';
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(copy, 0);
            return status;
        }
    }
    status = CreateKey(copy, KEY_READ);
    ExFreePoolWithTag(copy, 0);
    return status;
}

NTSTATUS Reg_WriteValue(PCWSTR KeyPath, PCWSTR ValueName, ULONG Type, PVOID Data, ULONG Size)
{
    PAGED_CODE();
    if (KeyPath == nullptr || ValueName == nullptr || Data == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = Reg_CreateKeyPath(KeyPath);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    HANDLE key = nullptr;
    status = OpenKey(KeyPath, KEY_WRITE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING name;
    InitName(&name, ValueName);
    status = ZwSetValueKey(key, &name, 0, Type, Data, Size);
    ZwClose(key);
    return status;
}

NTSTATUS Reg_WriteDword(PCWSTR KeyPath, PCWSTR ValueName, ULONG Value)
{
    return Reg_WriteValue(KeyPath, ValueName, REG_DWORD, &Value, sizeof(Value));
}

NTSTATUS Reg_ReadValue(PCWSTR KeyPath, PCWSTR ValueName, PVOID Buffer, ULONG BufferSize,
                       PULONG DataSize)
{
    PAGED_CODE();
    if (KeyPath == nullptr || ValueName == nullptr || DataSize == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    HANDLE key = nullptr;
    NTSTATUS status = OpenKey(KeyPath, KEY_READ, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UNICODE_STRING name;
    InitName(&name, ValueName);
    ULONG needed = 0;
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) {
        ZwClose(key);
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, needed, SUPPORTEX_POOL_TAG));
    if (info == nullptr) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, needed, &needed);
    ZwClose(key);
    if (NT_SUCCESS(status)) {
        *DataSize = info->DataLength;
        if (Buffer != nullptr && info->DataLength <= BufferSize) {
            RtlCopyMemory(Buffer, info->Data, info->DataLength);
        } else {
            status = STATUS_BUFFER_TOO_SMALL;
        }
    }
    ExFreePoolWithTag(info, 0);
    return status;
}

NTSTATUS Reg_ReadDword(PCWSTR KeyPath, PCWSTR ValueName, PULONG Value)
{
    if (Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG size = 0;
    ULONG data = 0;
    NTSTATUS status = Reg_ReadValue(KeyPath, ValueName, &data, sizeof(data), &size);
    if (NT_SUCCESS(status)) {
        // A shorter value is no DWORD; reading it would leave bytes unset.
        if (size != sizeof(data)) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        *Value = data;
    }
    return status;
}

NTSTATUS Reg_ReadString(PCWSTR KeyPath, PCWSTR ValueName, PUNICODE_STRING String)
{
    if (String == nullptr || String->Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG size = 0;
    NTSTATUS status =
        Reg_ReadValue(KeyPath, ValueName, String->Buffer, String->MaximumLength, &size);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    size &= ~1u;
    if (size >= sizeof(WCHAR) && String->Buffer[size / 2 - 1] == 0) {
        size -= sizeof(WCHAR);
    }
    String->Length = static_cast<USHORT>(size);
    return status;
}
