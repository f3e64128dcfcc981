// The layer's mount manager device: volume arrival, create point, delete points.
#include "mm_mountmgr.h"

#include "bridge_disk.h"
#include "bridge_fsmount.h"
#include "bridge_publish.h"
#include "host_internal.h"
#include "ntos_layer.h"
#include "ob_internal.h"
#include "se_internal.h"

#include <hostns/hostns.h>
#include <mountdev.h>
#include <mountmgr.h>

#include <sys/stat.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace ntos::detail {

namespace {

// A volume the mount manager has heard of, by device name.
struct known_volume {
    std::u16string device;
    std::u16string unique_id;      // the bytes of its unique id, two per code unit
    std::vector<char16_t> letters; // the drive links made for it
};

struct mountmgr_state {
    std::mutex lock;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    std::vector<known_volume> volumes;
};

mountmgr_state& state()
{
    static mountmgr_state s;
    return s;
}

using hostns::iequal;

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

std::u16string text_at(const UCHAR* base, size_t offset, size_t bytes)
{
    std::u16string out(bytes / sizeof(char16_t), u'\0');
    std::memcpy(out.data(), base + offset, out.size() * sizeof(char16_t));
    return out;
}

// The drive letter of "\DosDevices\X:", "\??\X:" or "\GLOBAL??\X:", 0 for anything else.
char16_t drive_letter_of(const std::u16string& link)
{
    static const char16_t* prefixes[] = {u"\\DOSDEVICES\\", u"\\??\\", u"\\GLOBAL??\\"};
    std::u16string upper = ob_upcase(link);
    for (const char16_t* prefix : prefixes) {
        std::u16string p(prefix);
        if (upper.size() == p.size() + 2 && upper.compare(0, p.size(), p) == 0 &&
            upper[p.size()] >= u'A' && upper[p.size()] <= u'Z' && upper[p.size() + 1] == u':')
            return upper[p.size()];
    }
    return 0;
}

std::u16string global_link(char16_t letter)
{
    return std::u16string(u"\\GLOBAL??\\") + letter + u":";
}

bool link_exists(char16_t letter)
{
    void* body = nullptr;
    std::u16string rest;
    if (!NT_SUCCESS(ob_lookup_path(nullptr, global_link(letter), &body, &rest, true)))
        return false;
    bool link = ob_kind(body) == object_kind::symbolic_link && rest.empty();
    ob_dereference(body);
    return link;
}

bool delete_drive_link(char16_t letter)
{
    std::u16string link = global_link(letter);
    UNICODE_STRING link_name{USHORT(link.size() * 2), USHORT(link.size() * 2),
                             const_cast<PWSTR>(link.c_str())};
    return NT_SUCCESS(IoDeleteSymbolicLink(&link_name));
}

// A mount-device query of the volume, asking again with the length the volume reports.
NTSTATUS query_volume(PDEVICE_OBJECT volume, ULONG code, size_t length_offset,
                      std::vector<UCHAR>* answer)
{
    answer->assign(512, 0);
    for (int attempt = 0; attempt < 2; ++attempt) {
        request r;
        r.major = IRP_MJ_DEVICE_CONTROL;
        r.code = code;
        r.output = answer->data();
        r.output_length = ULONG(answer->size());
        ULONG_PTR information = 0;
        NTSTATUS status = send_request(volume, nullptr, r, &information);
        if (status != STATUS_BUFFER_OVERFLOW)
            return status;
        USHORT needed = 0;
        std::memcpy(&needed, answer->data() + length_offset, sizeof(needed));
        answer->assign(length_offset + sizeof(USHORT) + needed, 0);
    }
    return STATUS_BUFFER_OVERFLOW;
}

// Links the letter to the device and mounts the drive's file system. Caller holds no lock.
NTSTATUS make_drive(PDEVICE_OBJECT volume, const std::u16string& device, char16_t letter)
{
    std::u16string link = global_link(letter);
    UNICODE_STRING link_name{USHORT(link.size() * 2), USHORT(link.size() * 2),
                             const_cast<PWSTR>(link.c_str())};
    UNICODE_STRING target{USHORT(device.size() * 2), USHORT(device.size() * 2),
                          const_cast<PWSTR>(device.c_str())};
    NTSTATUS status = IoCreateSymbolicLink(&link_name, &target);
    if (!NT_SUCCESS(status))
        return status;
    {
        mountmgr_state& s = state();
        std::lock_guard<std::mutex> guard(s.lock);
        for (auto& v : s.volumes)
            if (iequal(v.device, device))
                v.letters.push_back(letter);
    }
    fsmount_volume_linked(volume, letter);
    return STATUS_SUCCESS;
}

// The user-mode layer tells disks from CD-ROM drives by what is published beside the volumes.
void publish_kind(PDEVICE_OBJECT volume, const std::u16string& device)
{
    hostns::Namespace(host_runtime_folder(), 0)
        .publish_device_kind(device, volume->DeviceType == FILE_DEVICE_CD_ROM
                                         ? hostns::DeviceKind::cdrom
                                         : hostns::DeviceKind::disk);
}

// Takes a volume's drives and its published kind away; returns how many drive links went.
ULONG forget_volume(const known_volume& v)
{
    fsmount_volume_unlinked(v.device);
    ULONG points = 0;
    for (char16_t letter : v.letters)
        points += delete_drive_link(letter) ? 1 : 0;
    hostns::Namespace(host_runtime_folder(), 0).unpublish_device_kind(v.device);
    return points;
}

void remember(const std::u16string& device, const std::u16string& unique_id)
{
    mountmgr_state& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    for (auto& v : s.volumes) {
        if (iequal(v.device, device)) {
            v.unique_id = unique_id;
            return;
        }
    }
    s.volumes.push_back({device, unique_id, {}});
}

// The device object behind a name, referenced.
PDEVICE_OBJECT device_named(const std::u16string& name)
{
    void* body = nullptr;
    std::u16string rest;
    if (!NT_SUCCESS(ob_lookup_path(nullptr, name, &body, &rest, false)))
        return nullptr;
    if (ob_kind(body) != object_kind::device || !rest.empty()) {
        ob_dereference(body);
        return nullptr;
    }
    return static_cast<PDEVICE_OBJECT>(body);
}

// A volume announced by a thread that acts for a client belongs to that client: its block file
// is published as theirs (the device may have been found in the namespace under the service's
// identity before anyone said whose it is).
void claim_for_requester(PDEVICE_OBJECT volume)
{
    bool impersonating = false;
    se_identity who;
    if (!NT_SUCCESS(se_open_identity(&impersonating, &who)) || !impersonating)
        return;
    std::string block = bridge_disk_file_path(volume);
    struct stat st {};
    if (!block.empty() && ::stat(block.c_str(), &st) == 0 && st.st_uid == who.uid &&
        st.st_gid == who.gid)
        return;
    bridge_disk_device_deleted(volume);
    bridge_disk_device_created_for(volume, who.uid, who.gid);
}

NTSTATUS volume_arrival(const UCHAR* in, ULONG in_length)
{
    USHORT name_length = 0;
    if (in_length < sizeof(USHORT))
        return STATUS_INVALID_PARAMETER;
    std::memcpy(&name_length, in, sizeof(name_length));
    if (sizeof(USHORT) + size_t(name_length) > in_length || name_length == 0 || name_length % 2)
        return STATUS_INVALID_PARAMETER;
    std::u16string named = text_at(in, sizeof(USHORT), name_length);
    PDEVICE_OBJECT volume = device_named(named);
    if (!volume)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    claim_for_requester(volume);

    // The volume's own answers decide; the name the arrival carried only finds it.
    std::u16string device = named;
    std::vector<UCHAR> answer;
    if (NT_SUCCESS(query_volume(volume, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, 0, &answer))) {
        USHORT length = 0;
        std::memcpy(&length, answer.data(), sizeof(length));
        if (sizeof(USHORT) + size_t(length) <= answer.size() && length > 0)
            device = text_at(answer.data(), sizeof(USHORT), length);
    }
    std::u16string unique_id;
    if (NT_SUCCESS(query_volume(volume, IOCTL_MOUNTDEV_QUERY_UNIQUE_ID, 0, &answer))) {
        USHORT length = 0;
        std::memcpy(&length, answer.data(), sizeof(length));
        if (sizeof(USHORT) + size_t(length) <= answer.size())
            unique_id = text_at(answer.data(), sizeof(USHORT), length);
    }
    remember(device, unique_id);
    publish_kind(volume, device);

    char16_t letter = 0;
    const size_t name_offset = offsetof(MOUNTDEV_SUGGESTED_LINK_NAME, Name);
    const size_t length_offset = offsetof(MOUNTDEV_SUGGESTED_LINK_NAME, NameLength);
    if (NT_SUCCESS(query_volume(volume, IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME, length_offset,
                                &answer))) {
        USHORT length = 0;
        std::memcpy(&length, answer.data() + length_offset, sizeof(length));
        if (name_offset + length <= answer.size())
            letter = drive_letter_of(text_at(answer.data(), name_offset, length));
    }
    if (letter && !link_exists(letter))
        make_drive(volume, device, letter);
    ObDereferenceObject(volume);
    return STATUS_SUCCESS;
}

NTSTATUS create_point(const UCHAR* in, ULONG in_length)
{
    MOUNTMGR_CREATE_POINT_INPUT p;
    if (in_length < sizeof(p))
        return STATUS_INVALID_PARAMETER;
    std::memcpy(&p, in, sizeof(p));
    if (size_t(p.SymbolicLinkNameOffset) + p.SymbolicLinkNameLength > in_length ||
        size_t(p.DeviceNameOffset) + p.DeviceNameLength > in_length || p.DeviceNameLength == 0)
        return STATUS_INVALID_PARAMETER;
    std::u16string link = text_at(in, p.SymbolicLinkNameOffset, p.SymbolicLinkNameLength);
    std::u16string device = text_at(in, p.DeviceNameOffset, p.DeviceNameLength);
    char16_t letter = drive_letter_of(link);
    if (!letter)
        return STATUS_INVALID_PARAMETER;
    if (link_exists(letter))
        return STATUS_OBJECT_NAME_COLLISION;
    PDEVICE_OBJECT volume = device_named(device);
    if (!volume)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    remember(ob_full_name(volume), {});
    publish_kind(volume, ob_full_name(volume));
    NTSTATUS status = make_drive(volume, ob_full_name(volume), letter);
    ObDereferenceObject(volume);
    return status;
}

// Deletes the points of every volume whose device name or drive link matches.
NTSTATUS delete_points(const UCHAR* in, ULONG in_length, UCHAR* out, ULONG out_length,
                       ULONG_PTR* information)
{
    MOUNTMGR_MOUNT_POINT p;
    if (in_length < sizeof(p))
        return STATUS_INVALID_PARAMETER;
    std::memcpy(&p, in, sizeof(p));
    if (size_t(p.DeviceNameOffset) + p.DeviceNameLength > in_length ||
        size_t(p.SymbolicLinkNameOffset) + p.SymbolicLinkNameLength > in_length)
        return STATUS_INVALID_PARAMETER;
    std::u16string device = text_at(in, p.DeviceNameOffset, p.DeviceNameLength);
    char16_t by_letter =
        drive_letter_of(text_at(in, p.SymbolicLinkNameOffset, p.SymbolicLinkNameLength));
    if (device.empty() && !by_letter)
        return STATUS_INVALID_PARAMETER;

    std::vector<known_volume> going;
    {
        mountmgr_state& s = state();
        std::lock_guard<std::mutex> guard(s.lock);
        for (auto it = s.volumes.begin(); it != s.volumes.end();) {
            bool match =
                (!device.empty() && iequal(it->device, device)) ||
                (by_letter && std::count(it->letters.begin(), it->letters.end(), by_letter) > 0);
            if (match) {
                going.push_back(*it);
                it = s.volumes.erase(it);
            } else {
                ++it;
            }
        }
    }
    ULONG points = 0;
    for (const auto& v : going)
        points += forget_volume(v);
    if (out && out_length >= offsetof(MOUNTMGR_MOUNT_POINTS, MountPoints)) {
        ULONG size = offsetof(MOUNTMGR_MOUNT_POINTS, MountPoints);
        std::memcpy(out, &size, sizeof(size));
        std::memcpy(out + sizeof(ULONG), &points, sizeof(points));
        *information = size;
    }
    return STATUS_SUCCESS;
}

NTSTATUS dispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        return complete(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL:
        break;
    default:
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG in_length = buffer ? sp->Parameters.DeviceIoControl.InputBufferLength : 0;
    const ULONG out_length = buffer ? sp->Parameters.DeviceIoControl.OutputBufferLength : 0;
    // The input and the output share the system buffer: keep the input aside.
    std::vector<UCHAR> in(buffer, buffer + in_length);
    ULONG_PTR information = 0;
    NTSTATUS status;
    switch (sp->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION:
        status = volume_arrival(in.data(), in_length);
        break;
    case IOCTL_MOUNTMGR_CREATE_POINT:
        status = create_point(in.data(), in_length);
        break;
    case IOCTL_MOUNTMGR_DELETE_POINTS:
        status = delete_points(in.data(), in_length, buffer, out_length, &information);
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return complete(irp, status, NT_SUCCESS(status) ? information : 0);
}

} // namespace

NTSTATUS mountmgr_start()
{
    mountmgr_state& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.device)
        return STATUS_SUCCESS;
    NTSTATUS status = create_driver_object(u"MountMgr", &s.driver);
    if (!NT_SUCCESS(status))
        return status;
    for (auto& f : s.driver->MajorFunction)
        f = dispatch;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, MOUNTMGR_DEVICE_NAME);
    status = IoCreateDevice(s.driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &s.device);
    if (!NT_SUCCESS(status)) {
        delete_driver_object(s.driver);
        s.driver = nullptr;
        s.device = nullptr;
        return status;
    }
    s.device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

void mountmgr_stop()
{
    mountmgr_state& s = state();
    std::vector<known_volume> left;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.device)
            return;
        left.swap(s.volumes);
    }
    for (const auto& v : left)
        forget_volume(v);
    std::lock_guard<std::mutex> guard(s.lock);
    IoDeleteDevice(s.device);
    delete_driver_object(s.driver);
    s.device = nullptr;
    s.driver = nullptr;
}

char16_t mountmgr_letter_of(const std::u16string& device_name)
{
    mountmgr_state& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    for (const auto& v : s.volumes)
        if (iequal(v.device, device_name) && !v.letters.empty())
            return v.letters.front();
    return 0;
}

NTSTATUS mount_services_start()
{
    NTSTATUS status = publish_start();
    if (!NT_SUCCESS(status))
        return status;
    status = fsmount_start();
    if (!NT_SUCCESS(status)) {
        publish_stop();
        return status;
    }
    status = mountmgr_start();
    if (!NT_SUCCESS(status)) {
        fsmount_stop();
        publish_stop();
    }
    return status;
}

void mount_services_stop()
{
    mountmgr_stop();
    fsmount_stop();
    publish_stop();
}

} // namespace ntos::detail
