// Driver objects, device objects and the file objects the layer opens on devices.
#include "io_internal.h"
#include "ps_internal.h"

#include <cstring>
#include <mutex>
#include <new>

namespace ntos::detail {

namespace {

constexpr size_t max_registry_path = 260;

struct driver_body {
    DRIVER_OBJECT object;
    _DRIVER_EXTENSION extension;
    WCHAR service_key[max_registry_path];
    WCHAR driver_name[max_registry_path];
};

std::mutex& device_list_lock()
{
    static std::mutex lock;
    return lock;
}

void destroy_device(void* body)
{
    auto* device = static_cast<PDEVICE_OBJECT>(body);
    if (device->DeviceObjectExtension) {
        delete device->DeviceObjectExtension->Sddl;
        device->DeviceObjectExtension->~_DEVOBJ_EXTENSION();
    }
}

void file_cleanup(void* body)
{
    auto* file = static_cast<PFILE_OBJECT>(body);
    if (file->DeviceObject)
        io_send_simple(file->DeviceObject, file, IRP_MJ_CLEANUP, 0, nullptr);
    file->Flags |= FO_CLEANUP_COMPLETE;
}

void destroy_device_file(void* body)
{
    auto* file = static_cast<PFILE_OBJECT>(body);
    // DeviceObject is set only for a file whose create succeeded: a failed create is never closed.
    if (file->DeviceObject) {
        io_send_simple(file->DeviceObject, file, IRP_MJ_CLOSE, 0, nullptr);
        ob_dereference(file->DeviceObject);
    }
    if (file->FileName.Buffer)
        ExFreePool(file->FileName.Buffer);
}

bool valid_name(PUNICODE_STRING name, std::u16string* text)
{
    return ob_string(name, text) && !text->empty();
}

NTSTATUS make_driver(const std::u16string& name, PDRIVER_OBJECT* result)
{
    if (name.empty() || name.size() + 1 > max_registry_path - 64 ||
        name.find(u'\\') != std::u16string::npos)
        return STATUS_OBJECT_NAME_INVALID;
    void* body = ob_create_object(object_kind::driver, sizeof(driver_body), nullptr);
    if (!body)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* driver = static_cast<driver_body*>(body);
    PDRIVER_OBJECT object = &driver->object;
    object->Type = IO_TYPE_DRIVER;
    object->Size = sizeof(DRIVER_OBJECT);
    object->DriverExtension = &driver->extension;
    driver->extension.DriverObject = object;
    for (PDRIVER_DISPATCH& slot : object->MajorFunction)
        slot = io_invalid_device_request;
    std::u16string full = u"\\Driver\\" + name;
    std::u16string key = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + name;
    full.copy(driver->driver_name, full.size());
    key.copy(driver->service_key, key.size());
    RtlInitUnicodeString(&object->DriverName, driver->driver_name);
    RtlInitUnicodeString(&driver->extension.ServiceKeyName, driver->service_key);
    NTSTATUS status = ob_insert_name(body, nullptr, full, OBJ_PERMANENT, nullptr);
    if (!NT_SUCCESS(status)) {
        ob_dereference(body);
        return status;
    }
    *result = object;
    return STATUS_SUCCESS;
}

} // namespace

bool io_is_device(const void* object)
{
    return ob_is_object(object) && ob_kind(object) == object_kind::device;
}

bool io_is_driver(const void* object)
{
    return ob_is_object(object) && ob_kind(object) == object_kind::driver;
}

NTSTATUS io_invalid_device_request(PDEVICE_OBJECT device, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

} // namespace ntos::detail

using namespace ntos::detail;

namespace ntos {

NTSTATUS create_driver_object(const std::u16string& name, PDRIVER_OBJECT* driver)
{
    if (!driver)
        return STATUS_INVALID_PARAMETER;
    return make_driver(name, driver);
}

void delete_driver_object(PDRIVER_OBJECT driver)
{
    if (!io_is_driver(driver))
        return;
    ob_remove_name(driver);
    ob_dereference(driver);
}

NTSTATUS load_driver(const std::u16string& name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver)
{
    if (!entry || !driver)
        return STATUS_INVALID_PARAMETER;
    PDRIVER_OBJECT object = nullptr;
    NTSTATUS status = make_driver(name, &object);
    if (!NT_SUCCESS(status))
        return status;
    object->DriverInit = entry;
    status = entry(object, &object->DriverExtension->ServiceKeyName);
    NTOS_CHECK(KeGetCurrentIrql() == PASSIVE_LEVEL, "DriverEntry returned at IRQL %d",
               KeGetCurrentIrql());
    if (!NT_SUCCESS(status)) {
        delete_driver_object(object);
        return status;
    }
    // Devices made during DriverEntry are ready once it returns, as the platform does it.
    {
        std::lock_guard guard(device_list_lock());
        for (PDEVICE_OBJECT device = object->DeviceObject; device; device = device->NextDevice)
            device->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    *driver = object;
    return STATUS_SUCCESS;
}

bool unload_driver(PDRIVER_OBJECT driver, const ULONG* leak_tags, size_t tag_count)
{
    if (!io_is_driver(driver))
        return false;
    if (driver->DriverUnload)
        driver->DriverUnload(driver);
    bool clean = true;
    if (tag_count) {
        clean = pool_report_leaks(leak_tags, tag_count);
        NTOS_CHECK(clean, "driver %s unloaded with pool blocks still allocated", [driver] {
            static thread_local char text[128];
            size_t n = 0;
            for (USHORT i = 0; i < driver->DriverName.Length / 2 && n < 127; ++i)
                text[n++] = static_cast<char>(driver->DriverName.Buffer[i]);
            text[n] = 0;
            return text;
        }());
    }
    delete_driver_object(driver);
    return clean;
}

NTSTATUS open_device_file(PDEVICE_OBJECT device, const std::u16string& remaining,
                          ACCESS_MASK access, PFILE_OBJECT* file)
{
    if (!io_is_device(device) || !file)
        return STATUS_INVALID_PARAMETER;
    *file = nullptr;
    if (device->Flags & DO_DEVICE_INITIALIZING)
        return STATUS_NO_SUCH_DEVICE;
    if (device->DeviceObjectExtension && device->DeviceObjectExtension->Deleted)
        return STATUS_NO_SUCH_DEVICE;
    if (remaining.size() * sizeof(WCHAR) >= MAXUSHORT)
        return STATUS_NAME_TOO_LONG;
    void* body = ob_create_object(object_kind::file, sizeof(FILE_OBJECT), destroy_device_file);
    if (!body)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* object = static_cast<PFILE_OBJECT>(body);
    object->Type = IO_TYPE_FILE;
    object->Size = sizeof(FILE_OBJECT);
    KeInitializeEvent(&object->Lock, SynchronizationEvent, FALSE);
    KeInitializeEvent(&object->Event, NotificationEvent, FALSE);
    InitializeListHead(&object->IrpList);
    object->ReadAccess = (access & (FILE_READ_DATA | GENERIC_READ | GENERIC_ALL)) != 0;
    object->WriteAccess =
        (access & (FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL)) != 0;
    if (!remaining.empty()) {
        auto* name = static_cast<PWSTR>(ExAllocatePoolWithTag(
            PagedPool, (remaining.size() + 1) * sizeof(WCHAR), io_buffer_tag));
        if (!name) {
            ob_dereference(body);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        remaining.copy(name, remaining.size());
        name[remaining.size()] = 0;
        object->FileName = {static_cast<USHORT>(remaining.size() * sizeof(WCHAR)),
                            static_cast<USHORT>((remaining.size() + 1) * sizeof(WCHAR)), name};
    }
    ob_reference(device);
    object->DeviceObject = device;
    NTSTATUS status = io_send_simple(device, object, IRP_MJ_CREATE, 0, nullptr);
    if (!NT_SUCCESS(status)) {
        object->DeviceObject = nullptr;
        ob_dereference(device);
        ob_dereference(body);
        return status;
    }
    ob_set_close_procedure(body, file_cleanup);
    *file = object;
    return STATUS_SUCCESS;
}

void close_device_file(PFILE_OBJECT file)
{
    if (!ob_is_object(file) || ob_kind(file) != object_kind::file)
        return;
    if (!(file->Flags & FO_CLEANUP_COMPLETE) && ob_handle_count(file) == 0)
        file_cleanup(file);
    ob_dereference(file);
}

} // namespace ntos

namespace {

NTSTATUS create_device(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                       PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                       ULONG DeviceCharacteristics, BOOLEAN Exclusive, PCUNICODE_STRING sddl,
                       PDEVICE_OBJECT* DeviceObject)
{
    PAGED_CODE();
    if (!DeviceObject)
        return STATUS_INVALID_PARAMETER;
    *DeviceObject = nullptr;
    if (!io_is_driver(DriverObject))
        return STATUS_INVALID_PARAMETER;
    std::u16string name, sddl_text;
    if (DeviceName && !valid_name(DeviceName, &name))
        return STATUS_OBJECT_NAME_INVALID;
    if (sddl && !ob_string(sddl, &sddl_text))
        return STATUS_INVALID_PARAMETER;
    if (DeviceExtensionSize > (1u << 30))
        return STATUS_INSUFFICIENT_RESOURCES;
    size_t extension_offset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    size_t record_offset = (extension_offset + DeviceExtensionSize + 15) & ~size_t{15};
    size_t total = record_offset + sizeof(_DEVOBJ_EXTENSION);
    void* body = ob_create_object(object_kind::device, total, destroy_device);
    if (!body)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto* device = static_cast<PDEVICE_OBJECT>(body);
    auto* record = new (static_cast<char*>(body) + record_offset) _DEVOBJ_EXTENSION{};
    record->Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
    record->Size = sizeof(_DEVOBJ_EXTENSION);
    record->DeviceObject = device;
    if (sddl)
        record->Sddl = new std::u16string(sddl_text);
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceExtension =
        DeviceExtensionSize ? static_cast<char*>(body) + extension_offset : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->StackSize = 1;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) |
                    (DeviceName ? DO_DEVICE_HAS_NAME : 0);
    device->DeviceObjectExtension = record;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
    InitializeListHead(&device->Queue.ListEntry);
    switch (DeviceType) {
    case FILE_DEVICE_DISK:
    case FILE_DEVICE_DISK_FILE_SYSTEM:
    case FILE_DEVICE_VIRTUAL_DISK:
        device->SectorSize = 512;
        break;
    case FILE_DEVICE_CD_ROM:
    case FILE_DEVICE_CD_ROM_FILE_SYSTEM:
        device->SectorSize = 2048;
        break;
    default:
        break;
    }
    if (DeviceName) {
        NTSTATUS status = ob_insert_name(body, nullptr, name, OBJ_PERMANENT, nullptr);
        if (!NT_SUCCESS(status)) {
            ob_dereference(body);
            return status;
        }
    }
    // The driver's device list holds the creator's reference until IoDeleteDevice.
    ob_reference(DriverObject);
    {
        std::lock_guard guard(device_list_lock());
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject)
{
    return create_device(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                         DeviceCharacteristics, Exclusive, nullptr, DeviceObject);
}

NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PCUNICODE_STRING DefaultSDDLString,
                              const struct _GUID* DeviceClassGuid, PDEVICE_OBJECT* DeviceObject)
{
    std::u16string sddl;
    if (!ob_string(DefaultSDDLString, &sddl) || sddl.empty() || sddl.compare(0, 2, u"D:") != 0)
        return STATUS_INVALID_PARAMETER;
    return create_device(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                         DeviceCharacteristics, Exclusive, DefaultSDDLString, DeviceObject);
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    NTOS_CHECK(io_is_device(DeviceObject), "IoDeleteDevice on %p, which is not a device",
               static_cast<void*>(DeviceObject));
    if (!io_is_device(DeviceObject))
        return;
    _DEVOBJ_EXTENSION* record = DeviceObject->DeviceObjectExtension;
    NTOS_CHECK(!record->Deleted, "IoDeleteDevice twice on %p", static_cast<void*>(DeviceObject));
    if (record->Deleted)
        return;
    record->Deleted = TRUE;
    ob_remove_name(DeviceObject);
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    {
        std::lock_guard guard(device_list_lock());
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
                break;
            }
        }
        DeviceObject->NextDevice = nullptr;
    }
    ob_dereference(DeviceObject);
    ob_dereference(driver);
}

NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING ObjectName, ACCESS_MASK DesiredAccess,
                                  PFILE_OBJECT* FileObject, PDEVICE_OBJECT* DeviceObject)
{
    PAGED_CODE();
    std::u16string name;
    if (!FileObject || !DeviceObject || !valid_name(ObjectName, &name))
        return STATUS_INVALID_PARAMETER;
    void* body = nullptr;
    std::u16string rest;
    NTSTATUS status = ob_lookup_path(nullptr, name, &body, &rest, false);
    if (!NT_SUCCESS(status))
        return status;
    if (ob_kind(body) != object_kind::device) {
        ob_dereference(body);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    PFILE_OBJECT file = nullptr;
    status = ntos::open_device_file(static_cast<PDEVICE_OBJECT>(body), rest, DesiredAccess, &file);
    ob_dereference(body);
    if (!NT_SUCCESS(status))
        return status;
    // The platform opens a handle and closes it at once: the driver sees the cleanup now and the
    // close when the caller drops the file object.
    file_cleanup(file);
    *FileObject = file;
    *DeviceObject = IoGetRelatedDeviceObject(file);
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT IoGetRelatedDeviceObject(PFILE_OBJECT FileObject)
{
    if (!FileObject)
        return nullptr;
    PDEVICE_OBJECT device = FileObject->DeviceObject;
    while (device && device->AttachedDevice)
        device = device->AttachedDevice;
    return device;
}

namespace ntos {

std::u16string device_sddl(PDEVICE_OBJECT device)
{
    if (!io_is_device(device) || !device->DeviceObjectExtension->Sddl)
        return {};
    return *device->DeviceObjectExtension->Sddl;
}

} // namespace ntos
