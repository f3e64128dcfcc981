// The test mount manager and volume controls (see mountmgr_fake_test.h).
#include "mountmgr_fake_test.h"

#include <cstring>

namespace lockbin_test {

namespace {

fake_mount_manager* g_manager = nullptr;
fake_volume_controls* g_controls = nullptr;

std::u16string text(const UCHAR* base, ULONG offset, ULONG length)
{
    std::u16string out(length / 2, u'\0');
    std::memcpy(out.data(), base + offset, length & ~1u);
    return out;
}

NTSTATUS complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace

fake_mount_manager::fake_mount_manager(mode m) : mode_(m)
{
    if (!NT_SUCCESS(ntos::create_driver_object(u"TestMountMgr", &driver_)))
        return;
    for (auto& f : driver_->MajorFunction)
        f = dispatch;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, MOUNTMGR_DEVICE_NAME);
    if (!NT_SUCCESS(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_)))
        device_ = nullptr;
    else
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
    g_manager = this;
}

fake_mount_manager::~fake_mount_manager()
{
    for (const auto& l : links_) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, l.c_str());
        IoDeleteSymbolicLink(&name);
    }
    if (device_)
        IoDeleteDevice(device_);
    if (driver_)
        ntos::delete_driver_object(driver_);
    g_manager = nullptr;
}

std::vector<mount_manager_call> fake_mount_manager::calls()
{
    std::lock_guard<std::mutex> guard(lock_);
    return calls_;
}

bool fake_mount_manager::saw(ULONG code)
{
    for (const auto& c : calls())
        if (c.code == code)
            return true;
    return false;
}

NTSTATUS fake_mount_manager::dispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction != IRP_MJ_DEVICE_CONTROL || !g_manager)
        return complete(irp, STATUS_SUCCESS);
    return g_manager->control(irp);
}

// Links the letter the volume's device name ends in, as the system does for a suggested link.
void fake_mount_manager::link(const std::u16string& device)
{
    std::u16string name = u"\\GLOBAL??\\";
    name.push_back(device.back());
    name += u":";
    UNICODE_STRING link_name, target;
    RtlInitUnicodeString(&link_name, name.c_str());
    RtlInitUnicodeString(&target, device.c_str());
    if (NT_SUCCESS(IoCreateSymbolicLink(&link_name, &target)))
        links_.push_back(name);
}

NTSTATUS fake_mount_manager::control(PIRP irp)
{
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    const auto* in = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    const ULONG in_length = sp->Parameters.DeviceIoControl.InputBufferLength;
    mount_manager_call call;
    call.code = code;
    if (code == IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION && in_length >= 2) {
        USHORT length;
        std::memcpy(&length, in, 2);
        if (2u + length <= in_length)
            call.device = text(in, 2, length);
    } else if (code == IOCTL_MOUNTMGR_CREATE_POINT && in_length >= 8) {
        MOUNTMGR_CREATE_POINT_INPUT p;
        std::memcpy(&p, in, sizeof(p));
        if (p.SymbolicLinkNameOffset + p.SymbolicLinkNameLength <= in_length &&
            ULONG(p.DeviceNameOffset) + p.DeviceNameLength <= in_length) {
            call.link = text(in, p.SymbolicLinkNameOffset, p.SymbolicLinkNameLength);
            call.device = text(in, p.DeviceNameOffset, p.DeviceNameLength);
        }
    } else if (code == IOCTL_MOUNTMGR_DELETE_POINTS && in_length >= sizeof(MOUNTMGR_MOUNT_POINT)) {
        MOUNTMGR_MOUNT_POINT p;
        std::memcpy(&p, in, sizeof(p));
        if (p.DeviceNameOffset + p.DeviceNameLength <= in_length)
            call.device = text(in, p.DeviceNameOffset, p.DeviceNameLength);
    }
    if (code == IOCTL_MOUNTMGR_DELETE_POINTS && before_delete_points_)
        before_delete_points_();
    std::lock_guard<std::mutex> guard(lock_);
    calls_.push_back(call);
    if (mode_ == mode::refuse || call.device.empty())
        return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    if (code == IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION && mode_ == mode::link_at_arrival)
        link(call.device);
    if (code == IOCTL_MOUNTMGR_CREATE_POINT && mode_ == mode::link_at_create_point)
        link(call.device);
    if (code == IOCTL_MOUNTMGR_DELETE_POINTS) {
        std::u16string name = u"\\GLOBAL??\\";
        name.push_back(call.device.back());
        name += u":";
        for (auto it = links_.begin(); it != links_.end(); ++it) {
            if (*it == name) {
                UNICODE_STRING link_name;
                RtlInitUnicodeString(&link_name, name.c_str());
                IoDeleteSymbolicLink(&link_name);
                links_.erase(it);
                break;
            }
        }
    }
    return complete(irp, STATUS_SUCCESS);
}

fake_volume_controls::fake_volume_controls()
{
    g_controls = this;
    ntos::set_volume_control_hook(hook);
}

fake_volume_controls::~fake_volume_controls()
{
    ntos::set_volume_control_hook(nullptr);
    g_controls = nullptr;
}

int fake_volume_controls::count(ULONG code) const
{
    switch (code) {
    case FSCTL_LOCK_VOLUME:
        return locks_.load();
    case FSCTL_DISMOUNT_VOLUME:
        return dismounts_.load();
    case FSCTL_UNLOCK_VOLUME:
        return unlocks_.load();
    default:
        return 0;
    }
}

NTSTATUS fake_volume_controls::hook(PDEVICE_OBJECT, PFILE_OBJECT, ULONG code, PVOID, ULONG, PVOID,
                                    ULONG, ULONG_PTR* information)
{
    *information = 0;
    fake_volume_controls* c = g_controls;
    if (!c)
        return STATUS_INVALID_DEVICE_REQUEST;
    switch (code) {
    case FSCTL_LOCK_VOLUME:
        ++c->locks_;
        return c->busy_.load() ? STATUS_ACCESS_DENIED : STATUS_SUCCESS;
    case FSCTL_DISMOUNT_VOLUME:
        ++c->dismounts_;
        return STATUS_SUCCESS;
    case FSCTL_UNLOCK_VOLUME:
        ++c->unlocks_;
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

} // namespace lockbin_test
