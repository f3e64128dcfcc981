// The mount-device queries a volume answers for the mount manager, laid out as the platform
// publishes them. The device-name query and its record live in mountmgr.h.
#pragma once

#include "wdm.h"
#include "mountmgr.h"

#define IOCTL_MOUNTDEV_QUERY_UNIQUE_ID                                                             \
    CTL_CODE(MOUNTDEVCONTROLTYPE, 0, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_MOUNTDEV_UNIQUE_ID_CHANGE_NOTIFY                                                     \
    CTL_CODE(MOUNTDEVCONTROLTYPE, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME                                                   \
    CTL_CODE(MOUNTDEVCONTROLTYPE, 3, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_MOUNTDEV_LINK_CREATED                                                                \
    CTL_CODE(MOUNTDEVCONTROLTYPE, 4, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_MOUNTDEV_LINK_DELETED                                                                \
    CTL_CODE(MOUNTDEVCONTROLTYPE, 5, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_MOUNTDEV_QUERY_STABLE_GUID                                                           \
    CTL_CODE(MOUNTDEVCONTROLTYPE, 6, METHOD_BUFFERED, FILE_ANY_ACCESS)

static_assert(IOCTL_MOUNTDEV_QUERY_UNIQUE_ID == 0x4D0000);
static_assert(IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME == 0x4D000C);
static_assert(IOCTL_MOUNTDEV_QUERY_STABLE_GUID == 0x4D0018);

typedef struct _MOUNTDEV_UNIQUE_ID {
    USHORT UniqueIdLength;
    UCHAR UniqueId[1];
} MOUNTDEV_UNIQUE_ID, *PMOUNTDEV_UNIQUE_ID;
static_assert(offsetof(MOUNTDEV_UNIQUE_ID, UniqueId) == 2);

typedef struct _MOUNTDEV_SUGGESTED_LINK_NAME {
    BOOLEAN UseOnlyIfThereAreNoOtherLinks;
    USHORT NameLength;
    WCHAR Name[1];
} MOUNTDEV_SUGGESTED_LINK_NAME, *PMOUNTDEV_SUGGESTED_LINK_NAME;
static_assert(offsetof(MOUNTDEV_SUGGESTED_LINK_NAME, NameLength) == 2);
static_assert(offsetof(MOUNTDEV_SUGGESTED_LINK_NAME, Name) == 4);

typedef struct _MOUNTDEV_STABLE_GUID {
    GUID StableGuid;
} MOUNTDEV_STABLE_GUID, *PMOUNTDEV_STABLE_GUID;
