// Object-manager services of the driver interface: directories, links and temporary objects.
#include "ob_internal.h"
#include "ps_internal.h"

namespace ntos::detail {

bool ob_string(PCUNICODE_STRING string, std::u16string* text)
{
    if (!string || (string->Length & 1) || string->Length > string->MaximumLength ||
        (string->Length && !string->Buffer))
        return false;
    text->assign(string->Buffer ? string->Buffer : u"", string->Length / sizeof(WCHAR));
    return true;
}

} // namespace ntos::detail

using namespace ntos::detail;

namespace {

NTSTATUS name_of(POBJECT_ATTRIBUTES attributes, std::u16string* name)
{
    if (!attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES))
        return STATUS_INVALID_PARAMETER;
    if (!attributes->ObjectName) {
        name->clear();
        return STATUS_SUCCESS;
    }
    return ob_string(attributes->ObjectName, name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

NTSTATUS open_named(HANDLE* handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                    object_kind kind, bool open_link)
{
    if (!handle)
        return STATUS_INVALID_PARAMETER;
    std::u16string name;
    NTSTATUS status = name_of(attributes, &name);
    if (!NT_SUCCESS(status))
        return status;
    if (name.empty() && !attributes->RootDirectory)
        return STATUS_OBJECT_NAME_INVALID;
    void* body = nullptr;
    std::u16string rest;
    status = ob_lookup_path(attributes->RootDirectory, name, &body, &rest, open_link);
    if (!NT_SUCCESS(status))
        return status;
    if (ob_kind(body) != kind || !rest.empty()) {
        ob_dereference(body);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    status = ob_insert_handle(body, access, attributes->Attributes, handle);
    ob_dereference(body);
    return status;
}

} // namespace

NTSTATUS ZwCreateDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                 POBJECT_ATTRIBUTES ObjectAttributes)
{
    NTOS_PASSIVE_SERVICE("ZwCreateDirectoryObject");
    if (!DirectoryHandle)
        return STATUS_INVALID_PARAMETER;
    std::u16string name;
    NTSTATUS status = name_of(ObjectAttributes, &name);
    if (!NT_SUCCESS(status))
        return status;
    void* body = nullptr;
    status = ob_create_directory(ObjectAttributes->RootDirectory, name,
                                 ObjectAttributes->Attributes, &body);
    if (!NT_SUCCESS(status))
        return status;
    NTSTATUS created = status;
    status = ob_insert_handle(body, DesiredAccess, ObjectAttributes->Attributes, DirectoryHandle);
    ob_dereference(body);
    return NT_SUCCESS(status) ? created : status;
}

NTSTATUS ZwOpenDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                               POBJECT_ATTRIBUTES ObjectAttributes)
{
    NTOS_PASSIVE_SERVICE("ZwOpenDirectoryObject");
    return open_named(DirectoryHandle, DesiredAccess, ObjectAttributes, object_kind::directory,
                      false);
}

NTSTATUS ZwMakeTemporaryObject(HANDLE Handle)
{
    NTOS_PASSIVE_SERVICE("ZwMakeTemporaryObject");
    void* body = nullptr;
    NTSTATUS status = ob_reference_any_by_handle(Handle, &body, nullptr, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    ob_set_permanent(body, false);
    ob_dereference(body);
    return STATUS_SUCCESS;
}

NTSTATUS ZwCreateSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes, PUNICODE_STRING LinkTarget)
{
    NTOS_PASSIVE_SERVICE("ZwCreateSymbolicLinkObject");
    std::u16string name, target;
    if (!LinkHandle || !ob_string(LinkTarget, &target))
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = name_of(ObjectAttributes, &name);
    if (!NT_SUCCESS(status))
        return status;
    if (name.empty())
        return STATUS_OBJECT_NAME_INVALID;
    void* link = nullptr;
    status = ob_create_link(name, ObjectAttributes->RootDirectory, target,
                            ObjectAttributes->Attributes, &link);
    if (!NT_SUCCESS(status))
        return status;
    status = ob_insert_handle(link, DesiredAccess, ObjectAttributes->Attributes, LinkHandle);
    ob_dereference(link);
    return status;
}

NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes)
{
    NTOS_PASSIVE_SERVICE("ZwOpenSymbolicLinkObject");
    return open_named(LinkHandle, DesiredAccess, ObjectAttributes, object_kind::symbolic_link,
                      true);
}

NTSTATUS ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget,
                                   PULONG ReturnedLength)
{
    NTOS_PASSIVE_SERVICE("ZwQuerySymbolicLinkObject");
    if (!LinkTarget)
        return STATUS_INVALID_PARAMETER;
    void* link = nullptr;
    NTSTATUS status =
        ob_reference_by_handle(LinkHandle, object_kind::symbolic_link, &link, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string target = ob_link_target(link);
    ob_dereference(link);
    ULONG bytes = static_cast<ULONG>(target.size() * sizeof(WCHAR));
    if (ReturnedLength)
        *ReturnedLength = bytes;
    if (bytes > LinkTarget->MaximumLength || (bytes && !LinkTarget->Buffer))
        return STATUS_BUFFER_TOO_SMALL;
    target.copy(LinkTarget->Buffer, target.size());
    LinkTarget->Length = static_cast<USHORT>(bytes);
    if (bytes + sizeof(WCHAR) <= LinkTarget->MaximumLength)
        LinkTarget->Buffer[target.size()] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    PAGED_CODE();
    std::u16string name, target;
    if (!ob_string(SymbolicLinkName, &name) || !ob_string(DeviceName, &target) || name.empty())
        return STATUS_INVALID_PARAMETER;
    void* link = nullptr;
    NTSTATUS status =
        ob_create_link(name, nullptr, target, OBJ_PERMANENT | OBJ_CASE_INSENSITIVE, &link);
    if (!NT_SUCCESS(status))
        return status;
    ob_dereference(link);
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    PAGED_CODE();
    std::u16string name;
    if (!ob_string(SymbolicLinkName, &name) || name.empty())
        return STATUS_INVALID_PARAMETER;
    void* link = nullptr;
    std::u16string rest;
    NTSTATUS status = ob_lookup_path(nullptr, name, &link, &rest, true);
    if (!NT_SUCCESS(status))
        return status;
    if (ob_kind(link) != object_kind::symbolic_link || !rest.empty()) {
        ob_dereference(link);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    ob_remove_name(link);
    ob_dereference(link);
    return STATUS_SUCCESS;
}
