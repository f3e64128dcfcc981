// Symbolic links, drive letters, DOS-to-device path translation and device-control requests to
// other drivers.
#include "supportex.h"

NTSTATUS SupportEx_QuerySymbolicLink(PCWSTR LinkName, PUNICODE_STRING Target)
{
    PAGED_CODE();
    if (LinkName == nullptr || Target == nullptr || Target->Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, LinkName);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE link = nullptr;
    NTSTATUS status = ZwOpenSymbolicLinkObject(&link, GENERIC_READ, &attributes);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ZwQuerySymbolicLinkObject(link, Target, nullptr);
    ZwClose(link);
    return status;
}

NTSTATUS SupportEx_GetDriveDeviceName(WCHAR Letter, PUNICODE_STRING DeviceName)
{
    PAGED_CODE();
    WCHAR link[] = u"\\??\\C:";
    link[4] = Letter;
    NTSTATUS status = SupportEx_QuerySymbolicLink(link, DeviceName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Dynamic-disk volumes are links themselves: follow them once more.
    static const WCHAR kDynamic[] = u"\\Device\\HarddiskDmVolumes";
    const SIZE_T prefixChars = ARRAYSIZE(kDynamic) - 1;
    SIZE_T chars = DeviceName->Length / sizeof(WCHAR);
    bool dynamic = chars >= prefixChars;
    for (SIZE_T i = 0; dynamic && i < prefixChars; ++i) {
        dynamic =
            SupportEx_UpcaseLetter(DeviceName->Buffer[i]) == SupportEx_UpcaseLetter(kDynamic[i]);
    }
    if (!dynamic) {
        return status;
    }
    PUNICODE_STRING first = SupportEx_AllocateUnicodeString(0);
    if (first == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(first->Buffer, DeviceName->Buffer, DeviceName->Length);
    first->Buffer[chars] = 0;
    status = SupportEx_QuerySymbolicLink(first->Buffer, DeviceName);
    SupportEx_FreeUnicodeString(first);
    return status;
}

NTSTATUS SupportEx_DosPathToNtPath(PWSTR Path, ULONG Capacity, PBOOLEAN Converted)
{
    PAGED_CODE();
    if (Converted != nullptr) {
        *Converted = FALSE;
    }
    if (Path == nullptr || Capacity < 4) {
        return STATUS_SUCCESS;
    }
    SIZE_T pathChars = SupportEx_StringLength(Path, Capacity);
    if (pathChars == Capacity) {
        // Not terminated within its capacity: no path this routine can rewrite.
        return STATUS_SUCCESS;
    }
    if (pathChars < 3) {
        return STATUS_SUCCESS;
    }
    WCHAR letter = SupportEx_UpcaseLetter(Path[0]);
    if (letter < u'A' || letter > u'Z' || Path[1] != u':' || Path[2] != u'\\') {
        return STATUS_SUCCESS;
    }
    PUNICODE_STRING device = SupportEx_AllocateUnicodeString(0);
    if (device == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = SupportEx_GetDriveDeviceName(letter, device);
    if (!NT_SUCCESS(status)) {
        SupportEx_FreeUnicodeString(device);
        return status;
    }
    SIZE_T deviceChars = device->Length / sizeof(WCHAR);
    // The result is the device name plus the path without its two first characters, and its
    // terminator must fit as well.
    if (pathChars + deviceChars > Capacity) {
        SupportEx_FreeUnicodeString(device);
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* built = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, Capacity * sizeof(WCHAR), SUPPORTEX_POOL_TAG));
    if (built == nullptr) {
        SupportEx_FreeUnicodeString(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(built, Capacity * sizeof(WCHAR));
    RtlCopyMemory(built, device->Buffer, deviceChars * sizeof(WCHAR));
    RtlCopyMemory(built + deviceChars, Path + 2, (pathChars - 2) * sizeof(WCHAR));
    RtlCopyMemory(Path, built, (deviceChars + pathChars - 2 + 1) * sizeof(WCHAR));
    ExFreePoolWithTag(built, 0);
    SupportEx_FreeUnicodeString(device);
    if (Converted != nullptr) {
        *Converted = TRUE;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SupportEx_SendDeviceIoControl(PCWSTR DeviceName, ULONG IoControlCode, PVOID InputBuffer,
                                       ULONG InputLength, PVOID OutputBuffer, ULONG OutputLength)
{
    PAGED_CODE();
    if (DeviceName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, DeviceName);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus = {};
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, device, InputBuffer, InputLength,
                                             OutputBuffer, OutputLength, FALSE, &event, &ioStatus);
    if (irp == nullptr) {
        ObDereferenceObject(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        NTSTATUS wait = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = NT_SUCCESS(wait) ? ioStatus.Status : wait;
    }
    ObDereferenceObject(file);
    return status;
}
