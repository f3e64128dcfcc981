// The path of a volume's requests: the dispatch routes that queue a volume device's reads,
// writes and device controls, and the worker thread that serves them one at a time.
#pragma once

#include <ntifs.h>

#include "devext.h"

// Enabled in the system process's token by every worker (SeImpersonatePrivilege).
#define VOLUME_WORKER_PRIVILEGE 29

// The routes RedAvDispatch takes for IRP_MJ_READ / IRP_MJ_WRITE and IRP_MJ_DEVICE_CONTROL of a
// volume device. While the volume is started the request is marked pending, appended to the
// volume's queue and the worker woken: STATUS_PENDING, the worker completes it. Otherwise
// "[redav] Virtual Disk %C is OutOfWork!" is logged and the request completed with
// STATUS_ACCESS_DENIED, Information 0. Non-paged; IRQL <= DISPATCH_LEVEL.
NTSTATUS RedAvDispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS RedAvDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
