// The service's start and stop sequence, shared by the service host and the end-to-end tests.
#include "bridge_control.h"
#include "bridge_disk.h"
#include "mm_mountmgr.h"

#include <ntos_host.h>
#include <ntos_layer.h>
#include <ntos_service.h>

#include <sys/mount.h>

#include <mutex>

namespace ntos {

namespace {

struct running_service {
    std::mutex lock;
    bool running = false;
    bool owns_host = false; // the layer was started here, not before by the caller
    bool disks = false;
    std::string disk_folder;
    PDRIVER_OBJECT driver = nullptr;
    std::vector<ULONG> pool_tags;
};

running_service& service()
{
    static running_service s;
    return s;
}

NTSTATUS create_service_key(const std::u16string& name)
{
    const std::u16string levels[] = {
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet",
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services",
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + name,
    };
    for (const auto& level : levels) {
        UNICODE_STRING key_name;
        RtlInitUnicodeString(&key_name, level.c_str());
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &key_name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                                   nullptr, nullptr);
        HANDLE key = nullptr;
        NTSTATUS status =
            ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
        if (!NT_SUCCESS(status))
            return status;
        ZwClose(key);
    }
    return STATUS_SUCCESS;
}

NTSTATUS set_service_parameter(const std::u16string& driver, const std::u16string& value_name,
                               ULONG value)
{
    const std::u16string path =
        u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + driver + u"\\Parameters";
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path.c_str());
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE key = nullptr;
    NTSTATUS status =
        ZwCreateKey(&key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    UNICODE_STRING value_string;
    RtlInitUnicodeString(&value_string, value_name.c_str());
    status = ZwSetValueKey(key, &value_string, 0, REG_DWORD, &value, sizeof(value));
    ZwClose(key);
    return status;
}

// Stops the disk bridge. libfuse skips the unmount once the connection has been aborted; the
// host must not leave the folder mounted behind it.
void stop_disks(const std::string& folder)
{
    detail::bridge_disk_stop();
    if (!folder.empty())
        ::umount2(folder.c_str(), MNT_DETACH);
}

} // namespace

int default_user_connections()
{
    return detail::bridge_control_default_user_connections;
}

NTSTATUS start_service(const service_config& config, service_part* failed)
{
    service_part ignored;
    service_part& part = failed ? *failed : ignored;
    part = service_part::none;
    running_service& s = service();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.running)
        return STATUS_ALREADY_COMMITTED;

    NTSTATUS status = start_host(config.runtime, config.state);
    if (!NT_SUCCESS(status) && status != STATUS_ALREADY_COMMITTED) {
        part = service_part::host;
        return status;
    }
    s.owns_host = status != STATUS_ALREADY_COMMITTED;
    auto fail = [&](service_part where, NTSTATUS why, int started) {
        if (started >= 3)
            stop_disks(s.disk_folder);
        if (started >= 2)
            detail::mount_services_stop();
        if (s.owns_host)
            stop_host();
        part = where;
        return why;
    };
    status = create_service_key(config.driver_name);
    for (const auto& [value_name, value] : config.parameters) {
        if (!NT_SUCCESS(status))
            break;
        status = set_service_parameter(config.driver_name, value_name, value);
    }
    if (!NT_SUCCESS(status))
        return fail(service_part::service_key, status, 1);
    status = detail::mount_services_start();
    if (!NT_SUCCESS(status))
        return fail(service_part::mount_services, status, 1);
    s.disks = config.disks;
    s.disk_folder.clear();
    if (config.disks) {
        status = detail::bridge_disk_start();
        if (!NT_SUCCESS(status))
            return fail(service_part::disks, status, 2);
        s.disk_folder = detail::bridge_disk_folder();
    }
    if (config.user_connections > 0)
        detail::bridge_control_set_user_connections(config.user_connections);
    status = load_driver(config.driver_name, config.driver_entry, &s.driver);
    if (!NT_SUCCESS(status)) {
        s.driver = nullptr;
        return fail(service_part::driver, status, 3);
    }
    status = detail::bridge_control_start();
    if (!NT_SUCCESS(status)) {
        unload_driver(s.driver, config.pool_tags.data(), config.pool_tags.size());
        s.driver = nullptr;
        return fail(service_part::control, status, 3);
    }
    s.pool_tags = config.pool_tags;
    s.running = true;
    return STATUS_SUCCESS;
}

bool stop_service()
{
    running_service& s = service();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.running)
        return true;
    detail::bridge_control_stop();
    bool clean = unload_driver(s.driver, s.pool_tags.data(), s.pool_tags.size());
    s.driver = nullptr;
    detail::mount_services_stop();
    if (s.disks)
        stop_disks(s.disk_folder);
    if (s.owns_host)
        stop_host();
    s.running = false;
    return clean;
}

} // namespace ntos
