// Device-change broadcast records.
#pragma once

#include "windef.h"

#define DBT_DEVICEARRIVAL 0x8000
#define DBT_DEVICEREMOVECOMPLETE 0x8004
#define DBT_DEVTYP_VOLUME 0x00000002

#define DBTF_MEDIA 0x0001
#define DBTF_NET 0x0002

typedef struct _DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
} DEV_BROADCAST_HDR, *PDEV_BROADCAST_HDR;

typedef struct _DEV_BROADCAST_VOLUME {
    DWORD dbcv_size;
    DWORD dbcv_devicetype;
    DWORD dbcv_reserved;
    DWORD dbcv_unitmask;
    WORD dbcv_flags;
} DEV_BROADCAST_VOLUME, *PDEV_BROADCAST_VOLUME;

static_assert(sizeof(DEV_BROADCAST_HDR) == 12, "DEV_BROADCAST_HDR layout");
static_assert(sizeof(DEV_BROADCAST_VOLUME) == 20, "DEV_BROADCAST_VOLUME layout");
static_assert(offsetof(DEV_BROADCAST_VOLUME, dbcv_unitmask) == 12, "DEV_BROADCAST_VOLUME layout");
static_assert(offsetof(DEV_BROADCAST_VOLUME, dbcv_flags) == 16, "DEV_BROADCAST_VOLUME layout");
