// A volume's worker thread and its handling of one read or write request.
#pragma once

#include <ntifs.h>

#include "devext.h"

// Start routine of a volume's worker (PsCreateSystemThread, context: the volume's DevExt).
// Records priority LOW_REALTIME_PRIORITY, enables SeImpersonatePrivilege in the system process's
// token, then waits on RequestEvent and serves the queue in arrival order: device controls go to
// _ProcessIrpDeviceControl, reads and writes to _ProcessIrpReadWrite. When it wakes with
// Terminate set it completes every request still queued with STATUS_ACCESS_DENIED,
// Information 0, and ends with STATUS_SUCCESS. PASSIVE_LEVEL.
VOID VolumeWorker(PVOID Context);

// Serves one IRP_MJ_READ or IRP_MJ_WRITE of the volume through a bounce buffer and the sector
// routines, and completes it. Refused before any file access, with Information 0: length 0
// (success), no buffer (STATUS_INSUFFICIENT_RESOURCES), a range outside [0, FileSize) or not
// whole 512-byte sectors (STATUS_INVALID_PARAMETER), VolumeRWStatus DENY, or RO for a write
// (STATUS_ACCESS_DENIED), no pool (STATUS_INSUFFICIENT_RESOURCES). On success Information is the
// length; the caller's buffer is never modified by a write nor by a failed read. Worker thread
// only, PASSIVE_LEVEL.
VOID _ProcessIrpReadWrite(PDEVICE_EXTENSION Ext, PIRP Irp);
