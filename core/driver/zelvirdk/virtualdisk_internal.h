// Routines the volume layer's modules share (mount sequences, device and file, mount manager
// and dismount). Every routine here runs at PASSIVE_LEVEL on a mount thread holding
// g_MountMutex unless it says otherwise.
#pragma once

#include "requester.h"
#include "virtualdisk.h"

#define REDAV_DISK_DEVICE_FORMAT u"\\Device\\ZELVirtualDisk\\ZELVirtualDisk%C"
#define REDAV_CDROM_DEVICE_FORMAT u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskCd%C"
#define REDAV_VOLUME_SDDL u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;BU)"
// Header and tail sector together.
#define REDAV_HIDDEN_BYTES (2 * REDAV_HIDDEN_SECTOR_SIZE)
// The refusal of an operation on another user's volume.
#define REDAV_FOREIGN_VOLUME_RECORD u"[redav] Volume belongs to another user!(VolumeLetter=%C)"

enum MOUNT_OPERATION : ULONG {
    MountOperationCDROM = 0,
    MountOperationNewDisk = 1,
    MountOperationExistDisk = 2,
    MountOperationDisMount = 3,
};

// One operation handed to the mount thread; lives in the entry point's frame for the call.
typedef struct _MOUNT_REQUEST {
    ULONG Operation; // MOUNT_OPERATION
    WCHAR VolumeLetter;
    PWSTR FilePath;
    LONGLONG DiskSize;
    BOOLEAN NoSparse;
    BOOLEAN IsReadOnly;
    BOOLEAN IsEncrypt;
    ULONG KeyLength;
    PUCHAR Key;
    BOOLEAN Force;
    BOOLEAN Result; // FALSE until the operation succeeds
    // Who asked, identified in the requesting thread; the mount thread acts for that user.
    REDAV_REQUESTER Requester;
    // Why Result is FALSE: STATUS_UNSUCCESSFUL unless the request was refused.
    NTSTATUS Status;
    // The requesting thread's security, captured by the entry point of a mount. The volume
    // record takes it over (ClientContextTaken); otherwise the entry point releases it.
    PSECURITY_CLIENT_CONTEXT ClientContext;
    BOOLEAN ClientContextTaken;
    // Signalled by the mount thread as its last touch of the request, for the case where its
    // thread object could not be referenced.
    KEVENT Done;
} MOUNT_REQUEST, *PMOUNT_REQUEST;

// Mount sequences (module virtualdisk_mount).
BOOLEAN _MountCDROM(PMOUNT_REQUEST Request);
BOOLEAN _MountNewDisk(PMOUNT_REQUEST Request);
BOOLEAN _MountExistDisk(PMOUNT_REQUEST Request);
// The key check on a decrypted first disk sector: an NTFS, FAT32 or FAT12/16 boot sector, or
// 512 zero bytes. Any IRQL.
BOOLEAN IsValidFirstSector(const UCHAR* Sector);

// Device and container (module virtualdisk_file). Returns the new record or null; the record
// takes over Request->ClientContext.
PDEVICE_EXTENSION _CreateVirtualDiskDevice(PMOUNT_REQUEST Request, BOOLEAN IsCDROM,
                                           BOOLEAN IsReadOnly, BOOLEAN IsEncrypt);
// Creates (FILE_OVERWRITE_IF, DiskSize + 1024 bytes) or opens the container with the record's
// client context and fills FileSize and the device's alignment. Returns the handle or null.
HANDLE _CreateOrOpenVirtualDiskFile(PDEVICE_EXTENSION DevExt, BOOLEAN bIsCreate, LONGLONG DiskSize,
                                    BOOLEAN NoSparse);

// Mount manager and dismount (module virtualdisk_mountmgr).
NTSTATUS _MountManagerMount(PDEVICE_EXTENSION DevExt);
VOID _MountManagerDismount(PDEVICE_EXTENSION DevExt);
BOOLEAN _DisMountVolume(PDEVICE_EXTENSION DevExt, BOOLEAN Force);
// Refuses (STATUS_ACCESS_DENIED in Request->Status) a volume of another user unless the
// requester is privileged.
BOOLEAN _DisMount(PMOUNT_REQUEST Request);
VOID _DisMountAll();
// TRUE when "\??\X:" opens as a symbolic link.
BOOLEAN IsLetterLinked(WCHAR Letter);

// The record registered at Letter (upper case) or null; takes the table's spin lock.
PDEVICE_EXTENSION _LookupVirtualDisk(WCHAR Letter);

// One hidden sector (REDAV_HIDDEN_SECTOR_SIZE bytes) at Offset of the container, as it is: no
// sector transform. Return the status of the transfer.
NTSTATUS _WriteHiddenSector(HANDLE File, LONGLONG Offset, const UCHAR* Sector);
NTSTATUS _ReadHiddenSector(HANDLE File, LONGLONG Offset, UCHAR* Sector);

// Holds g_MountMutex for its scope: a mount or dismount sequence, or an operation that uses a
// registered volume outside the table's lock. The mutex may be taken again by its holder.
struct MountMutexHold {
    MountMutexHold()
    {
        KeWaitForSingleObject(&g_MountMutex, Executive, KernelMode, FALSE, nullptr);
    }
    ~MountMutexHold() { KeReleaseMutex(&g_MountMutex, FALSE); }
    MountMutexHold(const MountMutexHold&) = delete;
    MountMutexHold& operator=(const MountMutexHold&) = delete;
};
