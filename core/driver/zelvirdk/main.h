// The driver's frame: entry, the one dispatch routine of every major function, unload.
#pragma once

#include <ntifs.h>

// Builds the driver's objects in order (support layer, "\Device\ZELVirtualDisk", sector
// routines, volume table, dispatch table, control device, memory log). A failure undoes what
// was done through RedAvUnload and returns its status; a memory log that cannot start does not
// fail the load. PASSIVE_LEVEL.
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Installed for all IRP_MJ_MAXIMUM_FUNCTION + 1 major functions. The control device takes
// create, close, cleanup and device control; volume devices also read and write; every other
// request completes with STATUS_INVALID_DEVICE_REQUEST. Up to DISPATCH_LEVEL.
NTSTATUS RedAvDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Takes everything down again; each step tolerates that its object was never made, so
// DriverEntry uses it after a partial start. PASSIVE_LEVEL.
VOID RedAvUnload(PDRIVER_OBJECT DriverObject);
