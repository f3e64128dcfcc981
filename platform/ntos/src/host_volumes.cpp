// Host volumes (\Device\HarddiskVolumeN over host folders, linked as \GLOBAL??\X:) and the start
// and stop of the layer's host side.
#include "cm_internal.h"
#include "host_internal.h"
#include "ntos_layer.h"
#include "se_internal.h"
#include "zw_internal.h"

#include <cerrno>
#include <cstdio>
#include <map>
#include <mutex>
#include <sys/stat.h>

namespace ntos::detail {

namespace {

struct volume {
    PDEVICE_OBJECT device;
    std::u16string link;
    std::string folder;
};

struct volumes_state {
    std::mutex lock;
    bool started = false;
    PDRIVER_OBJECT driver = nullptr;
    std::vector<volume> volumes;
    std::map<const void*, std::string> folders;
};

volumes_state& volumes()
{
    static volumes_state& v = *new volumes_state; // devices live until the process ends
    return v;
}

UNICODE_STRING counted(const std::u16string& text)
{
    UNICODE_STRING s;
    s.Buffer = const_cast<PWSTR>(text.c_str());
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = static_cast<USHORT>(s.Length + sizeof(WCHAR));
    return s;
}

NTSTATUS make_folder(const std::string& path, mode_t mode)
{
    std::string partial;
    for (size_t pos = 0; pos != std::string::npos;) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (!partial.empty() && ::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST)
            return zw_status_of_errno(errno);
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return STATUS_OBJECT_PATH_NOT_FOUND;
    return STATUS_SUCCESS;
}

void remove_locked(volumes_state& v)
{
    for (auto& vol : v.volumes) {
        UNICODE_STRING link = counted(vol.link);
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(vol.device);
    }
    v.volumes.clear();
    v.folders.clear();
    if (v.driver) {
        ntos::delete_driver_object(v.driver);
        v.driver = nullptr;
    }
}

} // namespace

NTSTATUS host_volumes_start()
{
    volumes_state& v = volumes();
    std::lock_guard<std::mutex> guard(v.lock);
    if (v.started)
        return STATUS_ALREADY_COMMITTED;
    NTSTATUS status = ntos::create_driver_object(u"HostVolume", &v.driver);
    if (!NT_SUCCESS(status))
        return status;
    int number = 1;
    for (const host_drive& drive : host_read_drives(host_state_folder() + "/drives")) {
        std::u16string name = u"\\Device\\HarddiskVolume" + host_utf16(std::to_string(number++));
        std::u16string link = std::u16string(u"\\GLOBAL??\\") + drive.letter + u":";
        UNICODE_STRING device_name = counted(name);
        PDEVICE_OBJECT device = nullptr;
        // A host volume stands for a mounted host file system, not a block device: the disk
        // bridge, which publishes disk and CD-ROM devices, leaves it alone.
        status = IoCreateDevice(v.driver, 0, &device_name, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE,
                                &device);
        if (!NT_SUCCESS(status))
            break;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        UNICODE_STRING link_name = counted(link);
        status = IoCreateSymbolicLink(&link_name, &device_name);
        if (!NT_SUCCESS(status)) {
            IoDeleteDevice(device);
            break;
        }
        v.volumes.push_back({device, link, drive.folder});
        v.folders[device] = drive.folder;
    }
    if (!NT_SUCCESS(status)) {
        remove_locked(v);
        return status;
    }
    v.started = true;
    return STATUS_SUCCESS;
}

void host_volumes_stop()
{
    volumes_state& v = volumes();
    std::lock_guard<std::mutex> guard(v.lock);
    remove_locked(v);
    v.started = false;
}

bool host_volume_folder(const void* device, std::string* folder)
{
    volumes_state& v = volumes();
    std::lock_guard<std::mutex> guard(v.lock);
    auto found = v.folders.find(device);
    if (found == v.folders.end())
        return false;
    *folder = found->second;
    return true;
}

} // namespace ntos::detail

using namespace ntos::detail;

NTSTATUS ntos::start_host(const std::string& runtime, const std::string& state)
{
    host_configure_folders(runtime, state);
    NTSTATUS status = make_folder(host_runtime_folder(), 0755);
    if (NT_SUCCESS(status))
        status = make_folder(host_state_folder(), 0700);
    if (!NT_SUCCESS(status))
        return status;
    cm_start();
    return host_volumes_start();
}

void ntos::stop_host()
{
    host_volumes_stop();
}

const std::string& ntos::runtime_folder()
{
    return host_runtime_folder();
}

const std::string& ntos::state_folder()
{
    return host_state_folder();
}

NTSTATUS ntos::set_client_identity(PEPROCESS process, uint32_t uid, uint32_t gid,
                                   const std::vector<uint32_t>& groups)
{
    se_identity who;
    who.uid = uid;
    who.gid = gid;
    who.groups.assign(groups.begin(), groups.end());
    return se_set_process_identity(process, who);
}
