// Zw file services on handles of devices: each call becomes an IRP to the device's driver.
#include "ntos_layer.h"
#include "zw_internal.h"

#include <atomic>

namespace ntos::detail {

namespace {

// Sends a built request for file and waits for it; the I/O manager frees the request.
NTSTATUS send(PIRP irp, PDEVICE_OBJECT device, PFILE_OBJECT file, KEVENT* event,
              IO_STATUS_BLOCK* local, PIO_STATUS_BLOCK iosb)
{
    if (!irp) {
        iosb->Status = STATUS_INSUFFICIENT_RESOURCES;
        iosb->Information = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
        status = local->Status;
    }
    iosb->Status = status;
    iosb->Information = local->Information;
    return status;
}

} // namespace

NTSTATUS zw_open_device_file(PDEVICE_OBJECT device, const std::u16string& remaining,
                             ACCESS_MASK access, ULONG attributes, PHANDLE handle,
                             PIO_STATUS_BLOCK iosb)
{
    PFILE_OBJECT file = nullptr;
    NTSTATUS status = ntos::open_device_file(device, remaining, zw_map_generic(access), &file);
    if (NT_SUCCESS(status)) {
        status = ob_insert_handle(file, zw_map_generic(access), attributes, handle);
        // The handle holds the file object now; IRP_MJ_CLEANUP and IRP_MJ_CLOSE follow ZwClose.
        ob_dereference(file);
    }
    iosb->Status = status;
    iosb->Information = NT_SUCCESS(status) ? FILE_OPENED : 0;
    return status;
}

NTSTATUS zw_device_read_write(PFILE_OBJECT file, bool write, PVOID buffer, ULONG length,
                              LONGLONG offset, PIO_STATUS_BLOCK iosb)
{
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK local{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    PIRP irp = IoBuildSynchronousFsdRequest(write ? IRP_MJ_WRITE : IRP_MJ_READ, device, buffer,
                                            length, &at, &event, &local);
    return send(irp, device, file, &event, &local, iosb);
}

NTSTATUS zw_device_control(PFILE_OBJECT file, ULONG code, PVOID input, ULONG input_length,
                           PVOID output, ULONG output_length, PIO_STATUS_BLOCK iosb)
{
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK local{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, input, input_length, output,
                                             output_length, FALSE, &event, &local);
    return send(irp, device, file, &event, &local, iosb);
}

NTSTATUS zw_device_flush(PFILE_OBJECT file, PIO_STATUS_BLOCK iosb)
{
    PDEVICE_OBJECT device = IoGetRelatedDeviceObject(file);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK local{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr,
                                            &event, &local);
    return send(irp, device, file, &event, &local, iosb);
}

namespace {
std::atomic<ntos::volume_control_hook> the_hook{nullptr};
}

ntos::volume_control_hook zw_volume_control_hook()
{
    return the_hook.load();
}

} // namespace ntos::detail

void ntos::set_volume_control_hook(volume_control_hook hook)
{
    detail::the_hook.store(hook);
}
