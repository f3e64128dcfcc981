// The control device's contract, shared by the driver and its user-mode clients: the device
// names, the control codes and every record byte for byte.
//
// Include it after the base types of either layer (<ntifs.h> in the driver, <windows.h> in user
// mode); it uses only types both define with the same sizes. Records are little-endian, letters
// and paths UTF-16 code units, reserved bytes sent as zero and ignored.
#pragma once

// The codes are CTL_CODE(0x8520, function, METHOD_BUFFERED, FILE_READ_ACCESS |
// FILE_WRITE_ACCESS), spelled out here so this header needs neither layer's CTL_CODE.
#define REDAV_DEVICE_TYPE 0x8520u
#define REDAV_CTL_CODE(Function) ((REDAV_DEVICE_TYPE << 16) | (3u << 14) | ((Function) << 2) | 0u)

#define IOCTL_DRVLOG_REGISTER_EVENT REDAV_CTL_CODE(0x801u)
#define IOCTL_DRVLOG_SET_CONFIG REDAV_CTL_CODE(0x802u)
#define IOCTL_DRVLOG_GET_CONFIG REDAV_CTL_CODE(0x803u)
#define IOCTL_DRVLOG_READ_MEMLOG REDAV_CTL_CODE(0x804u)
#define IOCTL_REDAV_QUERY_VOLUME REDAV_CTL_CODE(0x901u)
#define IOCTL_REDAV_MOUNT_CDROM REDAV_CTL_CODE(0x902u)
#define IOCTL_REDAV_MOUNT_NEW_DISK REDAV_CTL_CODE(0x903u)
#define IOCTL_REDAV_MOUNT_EXIST_DISK REDAV_CTL_CODE(0x904u)
#define IOCTL_REDAV_DISMOUNT REDAV_CTL_CODE(0x905u)
#define IOCTL_REDAV_SET_VOLUME_RW_STATUS REDAV_CTL_CODE(0x906u)
#define IOCTL_REDAV_QUERY_HIDE_SECTOR REDAV_CTL_CODE(0x910u)
#define IOCTL_REDAV_SET_HIDE_SECTOR REDAV_CTL_CODE(0x911u)

static_assert(IOCTL_DRVLOG_REGISTER_EVENT == 0x8520E004u);
static_assert(IOCTL_DRVLOG_READ_MEMLOG == 0x8520E010u);
static_assert(IOCTL_REDAV_QUERY_VOLUME == 0x8520E404u);
static_assert(IOCTL_REDAV_SET_VOLUME_RW_STATUS == 0x8520E418u);
static_assert(IOCTL_REDAV_SET_HIDE_SECTOR == 0x8520E444u);

// Object names of the control device; user mode opens it as "\\.\ZELRedAv".
#define REDAV_CONTROL_DEVICE_NAME u"\\Device\\ZELRedAv"
#define REDAV_CONTROL_LINK_NAME u"\\DosDevices\\Global\\ZELRedAv"
#define REDAV_CONTROL_USER_NAME u"\\\\.\\ZELRedAv"
#define REDAV_VOLUME_DIRECTORY_NAME u"\\Device\\ZELVirtualDisk"

#define REDAV_PATH_CHARS 260

// The REG_DWORD under "<service key>\\Parameters" that caps the volumes one user other than root
// may hold at once, and its value where there is none: the manager's catalogue holds four vaults,
// and no single user takes every free letter.
#define REDAV_USER_VOLUMES_VALUE u"MaxVolumesPerUser"
#define REDAV_DEFAULT_USER_VOLUMES 8
#define REDAV_SECTOR_SIZE 512

// Access state of a volume.
enum REDAV_RW_STATUS : ULONG {
    RW = 0,   // reads and writes allowed
    RO = 1,   // writes refused
    DENY = 2, // reads and writes refused
};

// Input of the three mount codes: 552 + KeyLength bytes on the wire, the key followed by
// eight zero bytes. Key is declared with those eight bytes so sizeof is the minimum length.
typedef struct _REDAV_MOUNT_REQUEST {
    WCHAR VolumeLetter;
    WCHAR FilePath[REDAV_PATH_CHARS];
    UCHAR Reserved1[6];
    LONGLONG DiskSize; // new disk only
    UCHAR NoSparse;    // new disk only: 0 makes the container sparse
    UCHAR IsReadOnly;  // existing disk only
    UCHAR IsEncrypt;   // new and existing disk
    UCHAR Reserved2;
    ULONG KeyLength;
    UCHAR Key[8];
} REDAV_MOUNT_REQUEST, *PREDAV_MOUNT_REQUEST;

typedef struct _REDAV_DISMOUNT_REQUEST {
    WCHAR VolumeLetter;
    UCHAR Force; // go on when the volume's file system cannot be locked
    UCHAR Reserved;
} REDAV_DISMOUNT_REQUEST, *PREDAV_DISMOUNT_REQUEST;

typedef struct _REDAV_RW_STATUS_REQUEST {
    WCHAR VolumeLetter;
    USHORT Reserved;
    ULONG VolumeRWStatus; // REDAV_RW_STATUS; above 2 is refused by the volume layer
} REDAV_RW_STATUS_REQUEST, *PREDAV_RW_STATUS_REQUEST;

// Output of the volume query, zero-filled before the fields are written.
typedef struct _REDAV_VOLUME_INFO {
    WCHAR VolumeLetter;
    WCHAR DeviceName[REDAV_PATH_CHARS];
    WCHAR FilePath[263]; // device form, as stored at mount time
    LONGLONG FileSize;   // size of the virtual disk in bytes
    UCHAR IsCDROM;
    UCHAR IsReadOnly;
    UCHAR IsEncrypt;
    UCHAR Reserved;
    ULONG VolumeRWStatus;
} REDAV_VOLUME_INFO, *PREDAV_VOLUME_INFO;

// The two container sectors outside the virtual disk, stored and returned unencrypted.
typedef struct _REDAV_HIDE_SECTOR_DATA {
    WCHAR VolumeLetter;
    UCHAR HeaderSector[REDAV_SECTOR_SIZE];
    UCHAR TailSector[REDAV_SECTOR_SIZE];
} REDAV_HIDE_SECTOR_DATA, *PREDAV_HIDE_SECTOR_DATA;

// Memory-log configuration, input of the set and output of the get request.
typedef struct _DRVLOG_CONFIG {
    ULONG Trace;
    ULONG Reserved1;
    ULONGLONG MemLogMaxCnt;
    UCHAR LogLevel;
    UCHAR Reserved2[3];
    ULONG LogType;
} DRVLOG_CONFIG, *PDRVLOG_CONFIG;

// Input of IOCTL_DRVLOG_REGISTER_EVENT: an event handle of the requesting process, in the low
// bytes of eight.
typedef struct _DRVLOG_REGISTER_EVENT {
    ULONGLONG EventHandle;
} DRVLOG_REGISTER_EVENT, *PDRVLOG_REGISTER_EVENT;

#define REDAV_MOUNT_REQUEST_MIN_SIZE 552u
#define REDAV_MOUNT_KEY_OFFSET 544u

static_assert(sizeof(WCHAR) == 2 && sizeof(ULONG) == 4 && sizeof(LONGLONG) == 8);
static_assert(sizeof(REDAV_MOUNT_REQUEST) == REDAV_MOUNT_REQUEST_MIN_SIZE);
static_assert(offsetof(REDAV_MOUNT_REQUEST, FilePath) == 2);
static_assert(offsetof(REDAV_MOUNT_REQUEST, DiskSize) == 528);
static_assert(offsetof(REDAV_MOUNT_REQUEST, NoSparse) == 536);
static_assert(offsetof(REDAV_MOUNT_REQUEST, IsReadOnly) == 537);
static_assert(offsetof(REDAV_MOUNT_REQUEST, IsEncrypt) == 538);
static_assert(offsetof(REDAV_MOUNT_REQUEST, KeyLength) == 540);
static_assert(offsetof(REDAV_MOUNT_REQUEST, Key) == REDAV_MOUNT_KEY_OFFSET);
static_assert(sizeof(REDAV_DISMOUNT_REQUEST) == 4);
static_assert(offsetof(REDAV_DISMOUNT_REQUEST, Force) == 2);
static_assert(sizeof(REDAV_RW_STATUS_REQUEST) == 8);
static_assert(offsetof(REDAV_RW_STATUS_REQUEST, VolumeRWStatus) == 4);
static_assert(sizeof(REDAV_VOLUME_INFO) == 1064);
static_assert(offsetof(REDAV_VOLUME_INFO, DeviceName) == 2);
static_assert(offsetof(REDAV_VOLUME_INFO, FilePath) == 522);
static_assert(offsetof(REDAV_VOLUME_INFO, FileSize) == 1048);
static_assert(offsetof(REDAV_VOLUME_INFO, IsCDROM) == 1056);
static_assert(offsetof(REDAV_VOLUME_INFO, IsReadOnly) == 1057);
static_assert(offsetof(REDAV_VOLUME_INFO, IsEncrypt) == 1058);
static_assert(offsetof(REDAV_VOLUME_INFO, VolumeRWStatus) == 1060);
static_assert(sizeof(REDAV_HIDE_SECTOR_DATA) == 1026);
static_assert(offsetof(REDAV_HIDE_SECTOR_DATA, HeaderSector) == 2);
static_assert(offsetof(REDAV_HIDE_SECTOR_DATA, TailSector) == 514);
static_assert(sizeof(DRVLOG_CONFIG) == 24);
static_assert(offsetof(DRVLOG_CONFIG, MemLogMaxCnt) == 8);
static_assert(offsetof(DRVLOG_CONFIG, LogLevel) == 16);
static_assert(offsetof(DRVLOG_CONFIG, LogType) == 20);
static_assert(sizeof(DRVLOG_REGISTER_EVENT) == 8);
