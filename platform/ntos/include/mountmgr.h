// The mount manager's device name, its control codes and records, and the mount-device name
// query every volume answers; laid out as the platform publishes them.
#pragma once

#include "wdm.h"
#include "ntddstor.h"

#define MOUNTMGR_DEVICE_NAME u"\\Device\\MountPointManager"
#define MOUNTMGRCONTROLTYPE ((ULONG)'m')
#define MOUNTDEVCONTROLTYPE ((ULONG)'M')

#define IOCTL_MOUNTMGR_CREATE_POINT                                                                \
    CTL_CODE(MOUNTMGRCONTROLTYPE, 0, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_MOUNTMGR_DELETE_POINTS                                                               \
    CTL_CODE(MOUNTMGRCONTROLTYPE, 1, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_MOUNTMGR_QUERY_POINTS                                                                \
    CTL_CODE(MOUNTMGRCONTROLTYPE, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_MOUNTMGR_DELETE_POINTS_DBONLY                                                        \
    CTL_CODE(MOUNTMGRCONTROLTYPE, 3, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION                                                 \
    CTL_CODE(MOUNTMGRCONTROLTYPE, 11, METHOD_BUFFERED, FILE_READ_ACCESS)
#define IOCTL_MOUNTDEV_QUERY_DEVICE_NAME                                                           \
    CTL_CODE(MOUNTDEVCONTROLTYPE, 2, METHOD_BUFFERED, FILE_ANY_ACCESS)

static_assert(IOCTL_MOUNTMGR_CREATE_POINT == 0x6DC000);
static_assert(IOCTL_MOUNTMGR_DELETE_POINTS == 0x6DC004);
static_assert(IOCTL_MOUNTMGR_QUERY_POINTS == 0x6D0008);
static_assert(IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION == 0x6D402C);
static_assert(IOCTL_MOUNTDEV_QUERY_DEVICE_NAME == 0x4D0008);

// Offsets are from the start of the record; names are UTF-16 without a terminator.
typedef struct _MOUNTMGR_CREATE_POINT_INPUT {
    USHORT SymbolicLinkNameOffset;
    USHORT SymbolicLinkNameLength;
    USHORT DeviceNameOffset;
    USHORT DeviceNameLength;
} MOUNTMGR_CREATE_POINT_INPUT, *PMOUNTMGR_CREATE_POINT_INPUT;
static_assert(sizeof(MOUNTMGR_CREATE_POINT_INPUT) == 8);

typedef struct _MOUNTMGR_MOUNT_POINT {
    ULONG SymbolicLinkNameOffset;
    USHORT SymbolicLinkNameLength;
    ULONG UniqueIdOffset;
    USHORT UniqueIdLength;
    ULONG DeviceNameOffset;
    USHORT DeviceNameLength;
} MOUNTMGR_MOUNT_POINT, *PMOUNTMGR_MOUNT_POINT;
static_assert(sizeof(MOUNTMGR_MOUNT_POINT) == 24);
static_assert(offsetof(MOUNTMGR_MOUNT_POINT, UniqueIdOffset) == 8);
static_assert(offsetof(MOUNTMGR_MOUNT_POINT, DeviceNameOffset) == 16);
static_assert(offsetof(MOUNTMGR_MOUNT_POINT, DeviceNameLength) == 20);

typedef struct _MOUNTMGR_MOUNT_POINTS {
    ULONG Size;
    ULONG NumberOfMountPoints;
    MOUNTMGR_MOUNT_POINT MountPoints[1];
} MOUNTMGR_MOUNT_POINTS, *PMOUNTMGR_MOUNT_POINTS;
static_assert(offsetof(MOUNTMGR_MOUNT_POINTS, MountPoints) == 8);

typedef struct _MOUNTMGR_TARGET_NAME {
    USHORT DeviceNameLength;
    WCHAR DeviceName[1];
} MOUNTMGR_TARGET_NAME, *PMOUNTMGR_TARGET_NAME;
static_assert(offsetof(MOUNTMGR_TARGET_NAME, DeviceName) == 2);

typedef struct _MOUNTDEV_NAME {
    USHORT NameLength;
    WCHAR Name[1];
} MOUNTDEV_NAME, *PMOUNTDEV_NAME;
static_assert(offsetof(MOUNTDEV_NAME, Name) == 2);
