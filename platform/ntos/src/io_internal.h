// I/O manager internals shared by the layer's modules (not visible to the driver).
//
// Devices and drivers are objects of the object manager (object_kind::device / driver); a device
// body is its DEVICE_OBJECT followed by the device extension, and DeviceObjectExtension points to
// the layer's own per-device record. File objects opened on devices by the layer (IRP_MJ_CREATE
// to the device's driver) are object_kind::file bodies whose FsContext belongs to that driver;
// their last handle sends IRP_MJ_CLEANUP and their last reference IRP_MJ_CLOSE.
//
// Every IRP carries a hidden record in front of it (irp_record) that the completion checks use.
#pragma once

#include "ntos_layer.h"
#include "ob_internal.h"

#include <atomic>
#include <string>

struct _DEVOBJ_EXTENSION {
    CSHORT Type;
    USHORT Size;
    PDEVICE_OBJECT DeviceObject;
    std::u16string* Sddl; // IoCreateDeviceSecure's SDDL string, or null
    BOOLEAN Deleted;
};

struct _DRIVER_EXTENSION {
    PDRIVER_OBJECT DriverObject;
    PVOID AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
};

namespace ntos::detail {

inline constexpr ULONG irp_pool_tag = 0x20707249;  // "Irp "
inline constexpr ULONG mdl_pool_tag = 0x206C644D;  // "Mdl "
inline constexpr ULONG io_buffer_tag = 0x66427249; // "IrBf"

inline constexpr CSHORT IO_TYPE_DRIVER = 4;
inline constexpr CSHORT IO_TYPE_FILE = 5;
inline constexpr CSHORT IO_TYPE_IRP = 6;
inline constexpr CSHORT IO_TYPE_DEVICE = 3;
inline constexpr CSHORT IO_TYPE_DEVICE_OBJECT_EXTENSION = 13;

bool io_is_device(const void* object);
bool io_is_driver(const void* object);

// Default dispatch for empty major-function slots: STATUS_INVALID_DEVICE_REQUEST.
NTSTATUS io_invalid_device_request(PDEVICE_OBJECT device, PIRP irp);

// Marks an IRP as built by the I/O manager: completion copies a buffered output back to
// UserBuffer (at most copy_limit bytes, when copy_out), frees the system buffer and MDLs, signals
// UserEvent and frees the IRP.
void io_mark_built(PIRP irp, bool copy_out, ULONG copy_limit);

// Sends one request with no buffers (create, cleanup, close, flush, shutdown) on file and waits.
NTSTATUS io_send_simple(PDEVICE_OBJECT device, PFILE_OBJECT file, UCHAR major, UCHAR minor,
                        ULONG_PTR* information);

} // namespace ntos::detail
