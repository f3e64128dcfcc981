// The disk queries a volume device answers: geometry, length, partition, layout, verification,
// removal, volume, mount-device and CD-ROM table-of-contents requests, all describing one
// unpartitioned medium of FileSize bytes.
#pragma once

#include <ntifs.h>

#include "devext.h"

// Answers and completes one IRP_MJ_DEVICE_CONTROL of the volume (no priority boost), from the
// record fields that do not change while the volume is mounted. Unknown codes are logged
// ("[redav] Unknown IoControlCode ...") and refused with STATUS_INVALID_DEVICE_REQUEST.
// Worker thread only, PASSIVE_LEVEL.
VOID _ProcessIrpDeviceControl(PDEVICE_EXTENSION Ext, PIRP Irp);
