// Key objects and the Zw registry services over the store of cm_store.cpp.
#include "cm_internal.h"
#include "host_internal.h"
#include "ob_internal.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace ntos::detail {

namespace {

// Marks a folder that belongs to a volatile key; cm_start removes those folders.
constexpr const char* volatile_marker = "/.volatile";

struct key_state {
    std::string folder;
    bool is_volatile = false;
};

struct key_body {
    key_state* state;
};

std::mutex& store_lock()
{
    static std::mutex m;
    return m;
}

void destroy_key(void* body)
{
    delete static_cast<key_body*>(body)->state;
}

bool exists_folder(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_volatile_folder(const std::string& path)
{
    return ::access((path + volatile_marker).c_str(), F_OK) == 0;
}

ACCESS_MASK map_generic(ACCESS_MASK access)
{
    ACCESS_MASK out =
        access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (access & GENERIC_READ)
        out |= KEY_READ;
    if (access & GENERIC_WRITE)
        out |= KEY_WRITE;
    if (access & GENERIC_EXECUTE)
        out |= KEY_EXECUTE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED))
        out |= KEY_ALL_ACCESS;
    return out;
}

bool valid_string(PCUNICODE_STRING s)
{
    return s && s->Length % 2 == 0 && s->Length <= s->MaximumLength &&
           (s->Length == 0 || s->Buffer);
}

std::u16string_view view(PCUNICODE_STRING s)
{
    return s->Length ? std::u16string_view(s->Buffer, s->Length / 2) : std::u16string_view();
}

bool equal_folded(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() && cm_fold(a) == cm_fold(b);
}

// The folder the name leads to, and the folder of its parent.
NTSTATUS resolve(POBJECT_ATTRIBUTES attributes, std::string* folder, std::string* parent)
{
    if (!attributes || attributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
        !valid_string(attributes->ObjectName))
        return STATUS_INVALID_PARAMETER;
    std::u16string_view name = view(attributes->ObjectName);
    std::string base;
    if (attributes->RootDirectory) {
        void* body = nullptr;
        NTSTATUS status =
            ob_reference_by_handle(attributes->RootDirectory, object_kind::key, &body, nullptr);
        if (!NT_SUCCESS(status))
            return status;
        base = static_cast<key_body*>(body)->state->folder;
        ob_dereference(body);
        if (!name.empty() && name[0] == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        if (!exists_folder(base))
            return STATUS_KEY_DELETED;
    } else {
        if (name.empty() || name[0] != u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        constexpr std::u16string_view root = u"\\REGISTRY\\MACHINE";
        if (name.size() < root.size() || !equal_folded(name.substr(0, root.size()), root) ||
            (name.size() > root.size() && name[root.size()] != u'\\'))
            return STATUS_OBJECT_NAME_NOT_FOUND;
        name.remove_prefix(name.size() > root.size() ? root.size() + 1 : root.size());
        if (name.empty() && attributes->ObjectName->Length / 2 > root.size())
            return STATUS_OBJECT_NAME_INVALID; // "\REGISTRY\MACHINE\"
        base = cm_machine_folder();
    }
    std::vector<std::u16string> components;
    NTSTATUS status = cm_split(name, &components);
    if (!NT_SUCCESS(status))
        return status;
    if (components.empty()) {
        *folder = base;
        *parent = base;
        return STATUS_SUCCESS;
    }
    std::u16string last = components.back();
    components.pop_back();
    *parent = cm_child_folder(base, components);
    *folder = *parent + "/" + cm_encode_name("k_", cm_fold(last));
    return STATUS_SUCCESS;
}

NTSTATUS open_handle(const std::string& folder, ACCESS_MASK access, ULONG attributes,
                     PHANDLE handle)
{
    void* body = ob_create_object(object_kind::key, sizeof(key_body), destroy_key);
    if (!body)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* key = static_cast<key_body*>(body);
    key->state = new key_state{folder, is_volatile_folder(folder)};
    NTSTATUS status = ob_insert_handle(body, map_generic(access), attributes, handle);
    ob_dereference(body);
    return status;
}

// The key behind a handle, checked for the access the operation needs.
NTSTATUS key_of(HANDLE handle, ACCESS_MASK needed, std::string* folder)
{
    void* body = nullptr;
    ACCESS_MASK granted = 0;
    NTSTATUS status = ob_reference_by_handle(handle, object_kind::key, &body, &granted);
    if (!NT_SUCCESS(status))
        return status;
    *folder = static_cast<key_body*>(body)->state->folder;
    ob_dereference(body);
    if ((granted & needed) != needed)
        return STATUS_ACCESS_DENIED;
    return STATUS_SUCCESS;
}

void put(std::vector<uint8_t>& out, size_t at, ULONG v)
{
    std::memcpy(out.data() + at, &v, sizeof v);
}

// Builds the whole record of one value; *fixed receives the size of its fixed part.
NTSTATUS build_record(const cm_value& value, KEY_VALUE_INFORMATION_CLASS klass,
                      std::vector<uint8_t>* record, size_t* fixed)
{
    const ULONG name_bytes = static_cast<ULONG>(value.name.size() * 2);
    const ULONG data_bytes = static_cast<ULONG>(value.data.size());
    switch (klass) {
    case KeyValueBasicInformation:
        *fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
        record->assign(*fixed + name_bytes, 0);
        put(*record, offsetof(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
        put(*record, offsetof(KEY_VALUE_BASIC_INFORMATION, NameLength), name_bytes);
        std::memcpy(record->data() + *fixed, value.name.data(), name_bytes);
        return STATUS_SUCCESS;
    case KeyValueFullInformation: {
        *fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
        // The data starts at the next ULONG boundary after the name.
        ULONG data_offset = static_cast<ULONG>((*fixed + name_bytes + 3) & ~size_t(3));
        record->assign(data_offset + data_bytes, 0);
        put(*record, offsetof(KEY_VALUE_FULL_INFORMATION, Type), value.type);
        put(*record, offsetof(KEY_VALUE_FULL_INFORMATION, DataOffset), data_offset);
        put(*record, offsetof(KEY_VALUE_FULL_INFORMATION, DataLength), data_bytes);
        put(*record, offsetof(KEY_VALUE_FULL_INFORMATION, NameLength), name_bytes);
        std::memcpy(record->data() + *fixed, value.name.data(), name_bytes);
        if (data_bytes)
            std::memcpy(record->data() + data_offset, value.data.data(), data_bytes);
        return STATUS_SUCCESS;
    }
    case KeyValuePartialInformation:
        *fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        record->assign(*fixed + data_bytes, 0);
        put(*record, offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
        put(*record, offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), data_bytes);
        if (data_bytes)
            std::memcpy(record->data() + *fixed, value.data.data(), data_bytes);
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS return_record(const cm_value& value, KEY_VALUE_INFORMATION_CLASS klass, PVOID buffer,
                       ULONG length, PULONG result_length)
{
    std::vector<uint8_t> record;
    size_t fixed = 0;
    NTSTATUS status = build_record(value, klass, &record, &fixed);
    if (!NT_SUCCESS(status))
        return status;
    *result_length = static_cast<ULONG>(record.size());
    if (length < fixed)
        return STATUS_BUFFER_TOO_SMALL;
    if (!buffer)
        return STATUS_INVALID_PARAMETER;
    size_t copied = std::min<size_t>(length, record.size());
    std::memcpy(buffer, record.data(), copied);
    return copied < record.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

void remove_tree(const std::string& path)
{
    if (DIR* dir = ::opendir(path.c_str())) {
        while (dirent* e = ::readdir(dir)) {
            if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
                continue;
            std::string child = path + "/" + e->d_name;
            struct stat st;
            if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                remove_tree(child);
            else
                ::unlink(child.c_str());
        }
        ::closedir(dir);
    }
    ::rmdir(path.c_str());
}

void sweep_volatile(const std::string& folder)
{
    if (is_volatile_folder(folder)) {
        remove_tree(folder);
        return;
    }
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    std::vector<std::string> children;
    while (dirent* e = ::readdir(dir)) {
        if (std::strncmp(e->d_name, "k_", 2) == 0)
            children.push_back(folder + "/" + e->d_name);
    }
    ::closedir(dir);
    for (const auto& c : children)
        sweep_volatile(c);
}

} // namespace

void cm_start()
{
    std::lock_guard<std::mutex> guard(store_lock());
    std::string machine = cm_machine_folder();
    sweep_volatile(machine);
    for (const char16_t* hive : {u"SYSTEM", u"SOFTWARE", u"HARDWARE"})
        ::mkdir((machine + "/" + cm_encode_name("k_", cm_fold(hive))).c_str(), 0700);
}

} // namespace ntos::detail

using namespace ntos::detail;

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition)
{
    host_passive_only("ZwCreateKey");
    if (!KeyHandle)
        return STATUS_INVALID_PARAMETER;
    if (CreateOptions & ~(REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE | REG_OPTION_OPEN_LINK))
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(store_lock());
    std::string folder, parent;
    NTSTATUS status = resolve(ObjectAttributes, &folder, &parent);
    if (!NT_SUCCESS(status))
        return status;
    ULONG disposition = REG_OPENED_EXISTING_KEY;
    if (!exists_folder(folder)) {
        if (!exists_folder(parent))
            return STATUS_OBJECT_NAME_NOT_FOUND;
        bool make_volatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
        if (!make_volatile && is_volatile_folder(parent))
            return STATUS_CHILD_MUST_BE_VOLATILE;
        if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
            return errno == ENOSPC ? STATUS_DISK_FULL : STATUS_ACCESS_DENIED;
        if (make_volatile) {
            int fd =
                ::open((folder + volatile_marker).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            if (fd >= 0)
                ::close(fd);
        }
        disposition = REG_CREATED_NEW_KEY;
    }
    status = open_handle(folder, DesiredAccess, ObjectAttributes->Attributes, KeyHandle);
    if (NT_SUCCESS(status) && Disposition)
        *Disposition = disposition;
    return status;
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes)
{
    host_passive_only("ZwOpenKey");
    if (!KeyHandle)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(store_lock());
    std::string folder, parent;
    NTSTATUS status = resolve(ObjectAttributes, &folder, &parent);
    if (!NT_SUCCESS(status))
        return status;
    if (!exists_folder(folder))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return open_handle(folder, DesiredAccess, ObjectAttributes->Attributes, KeyHandle);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type,
                       PVOID Data, ULONG DataSize)
{
    host_passive_only("ZwSetValueKey");
    if (!valid_string(ValueName) || (DataSize && !Data))
        return STATUS_INVALID_PARAMETER;
    std::string folder;
    NTSTATUS status = key_of(KeyHandle, KEY_SET_VALUE, &folder);
    if (!NT_SUCCESS(status))
        return status;
    cm_value value;
    value.type = Type;
    value.name = std::u16string(view(ValueName));
    if (DataSize > cm_max_value_data)
        return STATUS_INSUFFICIENT_RESOURCES;
    value.data.assign(static_cast<const uint8_t*>(Data),
                      static_cast<const uint8_t*>(Data) + DataSize);
    std::lock_guard<std::mutex> guard(store_lock());
    return cm_write_value(folder, value);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    host_passive_only("ZwQueryValueKey");
    if (!valid_string(ValueName) || !ResultLength)
        return STATUS_INVALID_PARAMETER;
    std::string folder;
    NTSTATUS status = key_of(KeyHandle, KEY_QUERY_VALUE, &folder);
    if (!NT_SUCCESS(status))
        return status;
    cm_value value;
    {
        std::lock_guard<std::mutex> guard(store_lock());
        status = cm_read_value(folder, view(ValueName), &value);
    }
    if (!NT_SUCCESS(status))
        return status;
    return return_record(value, KeyValueInformationClass, KeyValueInformation, Length,
                         ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    host_passive_only("ZwEnumerateValueKey");
    if (!ResultLength)
        return STATUS_INVALID_PARAMETER;
    std::string folder;
    NTSTATUS status = key_of(KeyHandle, KEY_QUERY_VALUE, &folder);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<cm_value> values;
    {
        std::lock_guard<std::mutex> guard(store_lock());
        status = cm_list_values(folder, &values);
    }
    if (!NT_SUCCESS(status))
        return status;
    if (Index >= values.size())
        return STATUS_NO_MORE_ENTRIES;
    return return_record(values[Index], KeyValueInformationClass, KeyValueInformation, Length,
                         ResultLength);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    host_passive_only("ZwDeleteValueKey");
    if (!valid_string(ValueName))
        return STATUS_INVALID_PARAMETER;
    std::string folder;
    NTSTATUS status = key_of(KeyHandle, KEY_SET_VALUE, &folder);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> guard(store_lock());
    return cm_delete_value(folder, view(ValueName));
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle)
{
    host_passive_only("ZwFlushKey");
    std::string folder;
    NTSTATUS status = key_of(KeyHandle, 0, &folder);
    if (!NT_SUCCESS(status))
        return status;
    return exists_folder(folder) ? STATUS_SUCCESS : STATUS_KEY_DELETED;
}
