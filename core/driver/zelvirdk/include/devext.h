// The volume record and the driver-wide table of volumes.
//
// One DEVICE_EXTENSION lives in the extension of each volume device, zeroed at creation. The
// volume layer fills it and registers it in g_VirtualDiskList; the sector routines, the request
// path and the disk queries read it; DestroyVirtualDisk tears it down. While a record is
// registered only VolumeRWStatus and the hidden-sector copies change, and those only under
// g_VirtualDiskListLock.
#pragma once

#include <ntifs.h>

#include "algorithm_blowfish.h"

// Pool tag of every allocation of the volume layer and the data path: "mvrd" in memory.
#define REDAV_VOLUME_POOL_TAG 0x6472766D

#define REDAV_HIDDEN_SECTOR_SIZE 512
#define REDAV_VOLUME_SLOTS 26

typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT DeviceObject;
    WCHAR VolumeLetter;         // upper case, 'D' to 'Z'
    PUNICODE_STRING DeviceName; // counted string, see VirtualDisk_AllocateCountedString
    BOOLEAN Started;            // set once the worker runs; cleared first at teardown
    BOOLEAN IsCDROM;
    BOOLEAN IsReadOnly;
    BOOLEAN IsEncrypt;
    ULONG VolumeRWStatus;     // 0 RW, 1 RO, 2 DENY
    PUNICODE_STRING FilePath; // container path in device form, counted string
    HANDLE FileHandle;        // the open container, or null
    LONGLONG FileSize;        // size of the virtual disk in bytes
    SECURITY_CLIENT_CONTEXT ClientContext;
    BOOLEAN HasClientContext; // ClientContext holds a token reference
    LIST_ENTRY RequestQueue;
    KSPIN_LOCK QueueLock;
    KEVENT RequestEvent; // synchronization event
    PVOID ThreadHandle;  // referenced thread object of the worker, or null
    BOOLEAN Terminate;
    PBLOWFISH_CTX BlowFish; // null for an unencrypted volume
    PUCHAR EncryptSectors;  // DISKRW_TABLE_SIZE bytes, null for an unencrypted volume
    UCHAR HeaderSector[REDAV_HIDDEN_SECTOR_SIZE];
    UCHAR TailSector[REDAV_HIDDEN_SECTOR_SIZE];
    // SID of the user who mounted the volume (all zero: nobody); only that user and root may
    // manage the volume.
    alignas(ULONG) UCHAR OwnerSid[SECURITY_MAX_SID_SIZE];
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// Slot of a letter: VolumeLetter - 'A'. Slots 0 to 2 stay empty (letters below 'D' are refused).
// Every read or write of a slot happens under g_VirtualDiskListLock.
extern PDEVICE_EXTENSION g_VirtualDiskList[REDAV_VOLUME_SLOTS];
extern KSPIN_LOCK g_VirtualDiskListLock;
// Held from start to end by every mount and dismount sequence.
extern KMUTEX g_MountMutex;
// The driver object volume devices are created for, stored by File_Initialize.
extern PDRIVER_OBJECT g_VirtualDiskDriverObject;
// "<service key>\Parameters", where the volume layer reads its settings; empty without one.
extern WCHAR g_VirtualDiskParametersKey[260];

// Stores the driver object and the parameters key under RegistryPath (the service key, may be
// null), clears the table's spin lock and initialises the mount mutex. Called at driver entry,
// before any mount; cannot fail.
NTSTATUS File_Initialize(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath = nullptr);

// Builds a counted string in one non-paged allocation (tag REDAV_VOLUME_POOL_TAG): the
// UNICODE_STRING header followed by the characters and a terminating zero; Length is the
// character count times 2, MaximumLength is Length + 2. Returns null when the allocation fails or
// the text does not fit a counted string. Free with ExFreePoolWithTag(.., REDAV_VOLUME_POOL_TAG).
// IRQL <= DISPATCH_LEVEL.
PUNICODE_STRING VirtualDisk_AllocateCountedString(PCWSTR Text, SIZE_T Characters);

// Tears a volume down, releasing only what exists, in this order: clears Started; clears the
// letter's slot if it holds this record (before anything a query copies is freed); stops the
// worker (sets Terminate, signals RequestEvent, waits for the thread object, drops it); closes
// the container; drops the client token reference; frees the table, the Blowfish context and
// both strings; deletes the device (which frees the record itself). Null does nothing.
// PASSIVE_LEVEL; the caller holds g_MountMutex.
VOID DestroyVirtualDisk(PDEVICE_EXTENSION DevExt);
