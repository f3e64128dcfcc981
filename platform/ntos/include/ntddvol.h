// Volume-class control codes and the disk-extent records, laid out as the platform publishes
// them.
#pragma once

#include "wdm.h"
#include "ntddstor.h"

#define IOCTL_VOLUME_BASE ((ULONG)'V')

#define IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS                                                       \
    CTL_CODE(IOCTL_VOLUME_BASE, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_VOLUME_ONLINE                                                                        \
    CTL_CODE(IOCTL_VOLUME_BASE, 2, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_VOLUME_OFFLINE                                                                       \
    CTL_CODE(IOCTL_VOLUME_BASE, 3, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)

static_assert(IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS == 0x560000);
static_assert(IOCTL_VOLUME_ONLINE == 0x56C008);

typedef struct _DISK_EXTENT {
    ULONG DiskNumber;
    LARGE_INTEGER StartingOffset;
    LARGE_INTEGER ExtentLength;
} DISK_EXTENT, *PDISK_EXTENT;
static_assert(sizeof(DISK_EXTENT) == 24);
static_assert(offsetof(DISK_EXTENT, StartingOffset) == 8);

typedef struct _VOLUME_DISK_EXTENTS {
    ULONG NumberOfDiskExtents;
    DISK_EXTENT Extents[1];
} VOLUME_DISK_EXTENTS, *PVOLUME_DISK_EXTENTS;
static_assert(sizeof(VOLUME_DISK_EXTENTS) == 32);
static_assert(offsetof(VOLUME_DISK_EXTENTS, Extents) == 8);
