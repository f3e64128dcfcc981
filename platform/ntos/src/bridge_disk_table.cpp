// The disk bridge's device table and the requests it sends to a device.
#include "bridge_disk_internal.h"

#include "host_internal.h"
#include "io_internal.h"
#include "ps_internal.h"
#include "se_internal.h"

#include <ntdddisk.h>
#include <ntos_layer.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace ntos::detail {

namespace {

struct disk_table {
    std::mutex lock;
    std::vector<disk_entry_ptr> entries;
    uint64_t next_ino = 2; // 1 is the root folder
    bridge_disk_first_sector_hook hook = nullptr;
    void* hook_context = nullptr;
};

// Never destroyed: bridge threads may still use it while the process exits.
disk_table& table()
{
    static disk_table* t = new disk_table;
    return *t;
}

bool is_deleted(PDEVICE_OBJECT device)
{
    return device->DeviceObjectExtension && device->DeviceObjectExtension->Deleted;
}

bool is_disk_type(PDEVICE_OBJECT device)
{
    return device &&
           (device->DeviceType == FILE_DEVICE_DISK || device->DeviceType == FILE_DEVICE_CD_ROM);
}

std::string leaf_name(PDEVICE_OBJECT device)
{
    std::u16string full = ob_full_name(device);
    size_t slash = full.find_last_of(u'\\');
    return host_utf8(slash == std::u16string::npos ? full : full.substr(slash + 1));
}

// Who the calling thread acts for: its impersonation, else its process (a client process while
// a bridge serves that client).
void current_owner(uid_t* uid, gid_t* gid)
{
    se_identity who;
    bool impersonating = false;
    if (!NT_SUCCESS(se_open_identity(&impersonating, &who)) || !impersonating) {
        who = se_process_identity();
        if (PACCESS_TOKEN token = se_primary_token(PsGetCurrentProcess())) {
            se_token_identity(token, &who);
            ob_dereference(token);
        }
    }
    *uid = who.uid;
    *gid = who.gid;
}

int transfer(PDEVICE_OBJECT device, bool write, int64_t offset, uint8_t* data, uint32_t length)
{
    ntos::request what;
    what.major = write ? IRP_MJ_WRITE : IRP_MJ_READ;
    what.offset = offset;
    if (write) {
        what.input = data;
        what.input_length = length;
    } else {
        what.output = data;
        what.output_length = length;
    }
    ULONG_PTR information = 0;
    NTSTATUS status = ntos::send_request(device, nullptr, what, &information);
    if (!NT_SUCCESS(status))
        return bridge_disk_errno(status);
    // A short transfer reported as success would hand the host stale buffer bytes.
    return information == length ? 0 : EIO;
}

int query_length(PDEVICE_OBJECT device, uint64_t* length)
{
    GET_LENGTH_INFORMATION info{};
    ntos::request what;
    what.major = IRP_MJ_DEVICE_CONTROL;
    what.code = IOCTL_DISK_GET_LENGTH_INFO;
    what.output = &info;
    what.output_length = sizeof(info);
    ULONG_PTR information = 0;
    NTSTATUS status = ntos::send_request(device, nullptr, what, &information);
    if (!NT_SUCCESS(status))
        return bridge_disk_errno(status);
    if (information < sizeof(info) || info.Length.QuadPart < 0)
        return EIO;
    *length = static_cast<uint64_t>(info.Length.QuadPart);
    return 0;
}

// Devices of the namespace that arrived without a word from their creator: published for the
// service's identity (owner-only, so only the service's user reaches them).
void discover_in(const std::u16string& folder, int depth)
{
    std::vector<directory_entry> entries;
    if (!NT_SUCCESS(ob_list_directory(folder, &entries)))
        return;
    for (const directory_entry& e : entries) {
        std::u16string path = folder + u"\\" + e.name;
        if (e.kind == object_kind::directory && depth > 0) {
            discover_in(path, depth - 1);
            continue;
        }
        if (e.kind != object_kind::device)
            continue;
        void* body = nullptr;
        std::u16string rest;
        if (!NT_SUCCESS(ob_lookup_path(nullptr, path, &body, &rest, false)))
            continue;
        auto* device = static_cast<PDEVICE_OBJECT>(body);
        if (rest.empty() && is_disk_type(device) && !is_deleted(device)) {
            const se_identity& service = se_process_identity();
            bridge_disk_device_created_for(device, service.uid, service.gid);
        }
        ob_dereference(body);
    }
}

// The loop threads that served the last volumes end a moment after it went and free their
// buffers (a megabyte or two each) only then: what they freed is given back once they have.
void release_when_idle()
{
    static std::atomic<bool> pending{false};
    if (pending.exchange(true))
        return;
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::seconds(2));
        pending = false;
        ntos::pool_release_cached();
    }).detach();
}

} // namespace

int bridge_disk_errno(NTSTATUS status)
{
    if (NT_SUCCESS(status))
        return 0;
    switch (status) {
    case STATUS_ACCESS_DENIED:
        return EACCES;
    case STATUS_INVALID_PARAMETER:
        return EINVAL;
    case STATUS_DISK_FULL:
        return ENOSPC; // the container's host file system is full
    default:
        return EIO;
    }
}

void bridge_disk_device_created_for(PDEVICE_OBJECT device, uid_t uid, gid_t gid)
{
    if (!is_disk_type(device))
        return;
    auto entry = std::make_shared<disk_entry>();
    entry->device = device;
    entry->name = leaf_name(device);
    entry->uid = uid;
    entry->gid = gid;
    entry->read_only = (device->Characteristics & FILE_READ_ONLY_DEVICE) != 0;
    if (entry->name.empty())
        return; // an unnamed device has no file to show
    disk_table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    for (const auto& e : t.entries)
        if (e->device == device || e->name == entry->name)
            return;
    ObReferenceObject(device);
    entry->ino = t.next_ino++;
    t.entries.push_back(std::move(entry));
}

void bridge_disk_device_created(PDEVICE_OBJECT device)
{
    uid_t uid;
    gid_t gid;
    current_owner(&uid, &gid);
    bridge_disk_device_created_for(device, uid, gid);
}

void bridge_disk_device_deleted(PDEVICE_OBJECT device)
{
    disk_entry_ptr entry;
    {
        disk_table& t = table();
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = std::find_if(t.entries.begin(), t.entries.end(),
                               [device](const disk_entry_ptr& e) { return e->device == device; });
        if (it == t.entries.end())
            return;
        entry = *it;
        t.entries.erase(it);
    }
    {
        // Requests already inside the driver finish first; the device is still valid for them.
        std::unique_lock<std::shared_mutex> alone(entry->io_lock);
        entry->gone = true;
    }
    ObDereferenceObject(device);
    // The volume's bounce buffers wait on the pool's free lists and its worker's arena keeps
    // what it freed; an idle service should not hold on to them.
    ntos::pool_release_cached();
    if (disk_table_snapshot().empty())
        release_when_idle();
}

void disk_table_refresh()
{
    std::vector<PDEVICE_OBJECT> deleted;
    for (const disk_entry_ptr& entry : disk_table_snapshot())
        if (is_deleted(entry->device))
            deleted.push_back(entry->device);
    for (PDEVICE_OBJECT device : deleted)
        bridge_disk_device_deleted(device);
    discover_in(u"\\Device", 2);
}

std::vector<disk_entry_ptr> disk_table_snapshot()
{
    disk_table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    return t.entries;
}

disk_entry_ptr disk_table_find_ino(uint64_t ino)
{
    disk_table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    for (const auto& e : t.entries)
        if (e->ino == ino)
            return e;
    return nullptr;
}

disk_entry_ptr disk_table_find_name(const std::string& name)
{
    disk_table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    for (const auto& e : t.entries)
        if (e->name == name)
            return e;
    return nullptr;
}

bool disk_entry_ready(disk_entry& entry)
{
    std::shared_lock<std::shared_mutex> shared(entry.io_lock);
    return !entry.gone && !is_deleted(entry.device) &&
           !(entry.device->Flags & DO_DEVICE_INITIALIZING);
}

bool disk_entry_usable(disk_entry& entry)
{
    return !entry.gone && !is_deleted(entry.device);
}

block_file* disk_entry_block(disk_entry& entry, int* err)
{
    std::lock_guard<std::mutex> guard(entry.block_lock);
    if (!entry.block) {
        uint64_t length = 0;
        *err = query_length(entry.device, &length);
        if (*err != 0)
            return nullptr;
        PDEVICE_OBJECT device = entry.device;
        entry.block = std::make_unique<block_file>(
            length, bridge_disk_sector, bridge_disk_max_transfer,
            [device](bool write, int64_t offset, uint8_t* data, uint32_t size) {
                return transfer(device, write, offset, data, size);
            });
    }
    *err = 0;
    return entry.block.get();
}

int disk_entry_flush(disk_entry& entry)
{
    ntos::request what;
    what.major = IRP_MJ_FLUSH_BUFFERS;
    ULONG_PTR information = 0;
    NTSTATUS status = ntos::send_request(entry.device, nullptr, what, &information);
    // The driver writes its container unbuffered and synchronously, so it has nothing to flush
    // and refuses the request; every completed write is already in the container.
    if (status == STATUS_INVALID_DEVICE_REQUEST)
        return 0;
    return bridge_disk_errno(status);
}

void bridge_disk_set_first_sector_hook(bridge_disk_first_sector_hook hook, void* context)
{
    disk_table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    t.hook = hook;
    t.hook_context = context;
}

void disk_table_first_sector_written(disk_entry& entry)
{
    bridge_disk_first_sector_hook hook;
    void* context;
    {
        disk_table& t = table();
        std::lock_guard<std::mutex> guard(t.lock);
        hook = t.hook;
        context = t.hook_context;
    }
    if (hook)
        hook(context, entry.device);
}

} // namespace ntos::detail
