// The control device "\Device\ZELRedAv" and its request handler.
#pragma once

#include <ntifs.h>

#include "redav_ioctl.h"

// Creates the control device (no extension, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, not
// exclusive) and its link "\DosDevices\Global\ZELRedAv"; keeps the driver and device objects
// for IsControlDevice. When the link cannot be made the device is deleted again and the link's
// status returned. PASSIVE_LEVEL.
NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject);
// Deletes the link (only when this driver made it) and the device; tolerates that neither
// exists. PASSIVE_LEVEL.
VOID DeleteControlDevice();

// True when DeviceObject is the kept control device of the kept driver and has no extension.
BOOLEAN IsControlDevice(PDEVICE_OBJECT DeviceObject);

// The handler of IRP_MJ_DEVICE_CONTROL on the control device: checks the code and the lengths,
// calls the volume layer or the log facility and completes the request (never pending).
// Returns the status it completed the request with. PASSIVE_LEVEL, in the caller's thread.
NTSTATUS DeviceIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
