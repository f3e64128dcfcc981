// A volume's device with its key material, client context and worker, and its container file.
#include "virtualdisk_internal.h"

#include "diskrw.h"
#include "klog.h"
#include "supportex.h"
#include "volume_worker.h"

namespace {

// Synchronous handles need SYNCHRONIZE in the access asked for.
constexpr ULONG CONTAINER_OPEN_OPTIONS = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT |
                                         FILE_RANDOM_ACCESS | FILE_NO_INTERMEDIATE_BUFFERING;
static_assert(CONTAINER_OPEN_OPTIONS == 0x868);

// How often a worker whose thread object cannot be referenced is looked for again before the
// record is given up for lost; the record must outlive a thread that may still run.
constexpr int WORKER_REFERENCE_RETRIES = 100;
constexpr ULONG WORKER_REFERENCE_WAIT_MS = 10;

VOID ReleaseDeviceParts(PDEVICE_EXTENSION DevExt)
{
    if (DevExt->HasClientContext) {
        SeDeleteClientSecurity(&DevExt->ClientContext);
        DevExt->HasClientContext = FALSE;
    }
    if (DevExt->EncryptSectors)
        ExFreePoolWithTag(DevExt->EncryptSectors, REDAV_VOLUME_POOL_TAG);
    if (DevExt->BlowFish)
        ExFreePoolWithTag(DevExt->BlowFish, REDAV_VOLUME_POOL_TAG);
    if (DevExt->DeviceName)
        ExFreePoolWithTag(DevExt->DeviceName, REDAV_VOLUME_POOL_TAG);
    if (DevExt->FilePath)
        ExFreePoolWithTag(DevExt->FilePath, REDAV_VOLUME_POOL_TAG);
    DevExt->EncryptSectors = nullptr;
    DevExt->BlowFish = nullptr;
    DevExt->DeviceName = nullptr;
    DevExt->FilePath = nullptr;
}

// Starts the volume's worker; Routine, the device's creator, is the source of the records.
NTSTATUS StartWorker(PDEVICE_EXTENSION DevExt, BOOLEAN* WorkerLost, PCSTR Routine)
{
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE ThreadHandle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&ThreadHandle, THREAD_ALL_ACCESS, &Attributes, nullptr,
                                           nullptr, VolumeWorker, DevExt);
    if (!NT_SUCCESS(status)) {
        KLOG_ERROR_FOR(Routine, u"[redav] PsCreateSystemThread failed!(status=0x%08x)", status);
        return status;
    }
    status = ObReferenceObjectByHandle(ThreadHandle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                       &DevExt->ThreadHandle, nullptr);
    if (!NT_SUCCESS(status)) {
        DevExt->Terminate = TRUE;
        KeSetEvent(&DevExt->RequestEvent, IO_NO_INCREMENT, FALSE);
        KLOG_ERROR_FOR(Routine, u"[redav] ObReferenceObjectByHandle failed!(status=0x%08x)",
                       status);
        // The worker holds the record: keep looking for its thread so the teardown can wait.
        NTSTATUS again = status;
        for (int i = 0; i < WORKER_REFERENCE_RETRIES && !NT_SUCCESS(again); ++i) {
            SupportEx_Sleep(WORKER_REFERENCE_WAIT_MS);
            again = ObReferenceObjectByHandle(ThreadHandle, THREAD_ALL_ACCESS, *PsThreadType,
                                              KernelMode, &DevExt->ThreadHandle, nullptr);
        }
        if (!NT_SUCCESS(again)) {
            DevExt->ThreadHandle = nullptr;
            *WorkerLost = TRUE;
        }
    }
    ZwClose(ThreadHandle);
    return status;
}

PUNICODE_STRING FormatDeviceName(WCHAR Letter, BOOLEAN IsCDROM, PUNICODE_STRING Name, PWSTR Buffer,
                                 SIZE_T Chars)
{
    const WCHAR Upper = SupportEx_UpcaseLetter(Letter);
    const WCHAR* Format = IsCDROM ? REDAV_CDROM_DEVICE_FORMAT : REDAV_DISK_DEVICE_FORMAT;
    SIZE_T Length = 0;
    for (const WCHAR* p = Format; *p && Length + 1 < Chars; ++p)
        Buffer[Length++] = (*p == u'%' && p[1] == u'C') ? (++p, Upper) : *p;
    Buffer[Length] = 0;
    Name->Buffer = Buffer;
    Name->Length = static_cast<USHORT>(Length * sizeof(WCHAR));
    Name->MaximumLength = static_cast<USHORT>((Length + 1) * sizeof(WCHAR));
    return Name;
}

// A container is its two hidden sectors around whole disk sectors. Any other length was cut or
// padded on the host: its tail sector would be read from inside the disk, and a disk of no
// sectors has nothing to mount.
BOOLEAN IsContainerLayoutSize(LONGLONG DiskSize)
{
    if (DiskSize == 0) {
        KLOG_ERROR(u"[redav] VirtualDiskFile holds no disk sector!(FileSize=%I64d)",
                   DiskSize + REDAV_HIDDEN_BYTES);
        return FALSE;
    }
    if (DiskSize % REDAV_HIDDEN_SECTOR_SIZE != 0) {
        KLOG_ERROR(u"[redav] VirtualDiskFile size isn't 1024 plus whole sectors!(FileSize=%I64d)",
                   DiskSize + REDAV_HIDDEN_BYTES);
        return FALSE;
    }
    return TRUE;
}

} // namespace

PDEVICE_EXTENSION _CreateVirtualDiskDevice(PMOUNT_REQUEST Request, BOOLEAN IsCDROM,
                                           BOOLEAN IsReadOnly, BOOLEAN IsEncrypt)
{
    PAGED_CODE();
    if (IsEncrypt && (Request->Key == nullptr || Request->KeyLength == 0)) {
        KLOG_ERROR(u"[redav] Key is empty!(VolumeLetter=%C)", Request->VolumeLetter);
        return nullptr;
    }
    WCHAR NameBuffer[64];
    UNICODE_STRING DeviceName;
    FormatDeviceName(Request->VolumeLetter, IsCDROM, &DeviceName, NameBuffer, 64);
    UNICODE_STRING Sddl;
    RtlInitUnicodeString(&Sddl, REDAV_VOLUME_SDDL);

    // Created as the requester, so the host side of the device (its block file) is theirs.
    PDEVICE_OBJECT DeviceObject = nullptr;
    NTSTATUS status = SeImpersonateClientEx(Request->ClientContext, nullptr);
    const BOOLEAN Impersonating = NT_SUCCESS(status);
    status = IoCreateDeviceSecure(g_VirtualDiskDriverObject, sizeof(DEVICE_EXTENSION), &DeviceName,
                                  IsCDROM ? FILE_DEVICE_CD_ROM : FILE_DEVICE_DISK,
                                  (IsCDROM || IsReadOnly) ? FILE_READ_ONLY_DEVICE : 0, FALSE, &Sddl,
                                  nullptr, &DeviceObject);
    if (Impersonating)
        PsRevertToSelf();
    if (!NT_SUCCESS(status)) {
        KLOG_ERROR(u"[redav] IoCreateDeviceSecure failed!(status=0x%08x)", status);
        return nullptr;
    }

    PDEVICE_EXTENSION DevExt = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    RtlZeroMemory(DevExt, sizeof(*DevExt));
    DevExt->DeviceObject = DeviceObject;
    DevExt->VolumeLetter = SupportEx_UpcaseLetter(Request->VolumeLetter);
    RtlCopyMemory(DevExt->OwnerSid, Request->Requester.Sid, sizeof(DevExt->OwnerSid));
    if (IsCDROM) {
        DevExt->IsCDROM = TRUE;
        DevExt->IsReadOnly = TRUE;
    } else if (IsReadOnly) {
        DevExt->IsReadOnly = TRUE;
    }
    DeviceObject->Flags |= DO_DIRECT_IO;

    BOOLEAN WorkerLost = FALSE;
    do {
        DevExt->FilePath = VirtualDisk_AllocateCountedString(
            Request->FilePath, SupportEx_StringLength(Request->FilePath, REDAV_PATH_CHARS));
        if (!DevExt->FilePath) {
            KLOG_ERROR(u"[redav] ExAllocatePoolWithTag failed!");
            break;
        }
        DevExt->DeviceName =
            VirtualDisk_AllocateCountedString(DeviceName.Buffer, DeviceName.Length / sizeof(WCHAR));
        if (!DevExt->DeviceName) {
            KLOG_ERROR(u"[redav] ExAllocatePoolWithTag failed!");
            break;
        }
        if (IsEncrypt) {
            DevExt->BlowFish = static_cast<PBLOWFISH_CTX>(
                ExAllocatePoolWithTag(NonPagedPool, sizeof(BLOWFISH_CTX), REDAV_VOLUME_POOL_TAG));
            if (DevExt->BlowFish)
                DevExt->EncryptSectors = static_cast<PUCHAR>(
                    ExAllocatePoolWithTag(NonPagedPool, DISKRW_TABLE_SIZE, REDAV_VOLUME_POOL_TAG));
            if (!DevExt->BlowFish || !DevExt->EncryptSectors) {
                KLOG_ERROR(u"[redav] ExAllocatePoolWithTag failed!");
                break;
            }
            DeriveVolumeKeyMaterial(Request->Key, Request->KeyLength, DevExt->BlowFish,
                                    DevExt->EncryptSectors);
            DevExt->IsEncrypt = TRUE;
        }
        // The requester's context, captured in its own thread before the mount thread started.
        RtlCopyMemory(&DevExt->ClientContext, Request->ClientContext,
                      sizeof(SECURITY_CLIENT_CONTEXT));
        Request->ClientContextTaken = TRUE;
        DevExt->HasClientContext = TRUE;

        InitializeListHead(&DevExt->RequestQueue);
        KeInitializeSpinLock(&DevExt->QueueLock);
        KeInitializeEvent(&DevExt->RequestEvent, SynchronizationEvent, FALSE);
        DevExt->Terminate = FALSE;
        if (!NT_SUCCESS(StartWorker(DevExt, &WorkerLost, __func__)))
            break;

        DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
        DevExt->Started = TRUE;
        return DevExt;
    } while (false);

    if (WorkerLost) {
        // A worker may still run on this record: keep the device and its memory rather than free
        // them under it.
        KLOG_ERROR(u"[redav] VolumeWorker lost, volume kept!(VolumeLetter=%C)",
                   DevExt->VolumeLetter);
        return nullptr;
    }
    if (DevExt->ThreadHandle) {
        KeWaitForSingleObject(DevExt->ThreadHandle, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(DevExt->ThreadHandle);
        DevExt->ThreadHandle = nullptr;
    }
    ReleaseDeviceParts(DevExt);
    IoDeleteDevice(DeviceObject);
    return nullptr;
}

NTSTATUS _WriteHiddenSector(HANDLE File, LONGLONG Offset, const UCHAR* Sector)
{
    IO_STATUS_BLOCK Iosb;
    LARGE_INTEGER Position;
    Position.QuadPart = Offset;
    return ZwWriteFile(File, nullptr, nullptr, nullptr, &Iosb, const_cast<UCHAR*>(Sector),
                       REDAV_HIDDEN_SECTOR_SIZE, &Position, nullptr);
}

NTSTATUS _ReadHiddenSector(HANDLE File, LONGLONG Offset, UCHAR* Sector)
{
    IO_STATUS_BLOCK Iosb;
    LARGE_INTEGER Position;
    Position.QuadPart = Offset;
    return ZwReadFile(File, nullptr, nullptr, nullptr, &Iosb, Sector, REDAV_HIDDEN_SECTOR_SIZE,
                      &Position, nullptr);
}

HANDLE _CreateOrOpenVirtualDiskFile(PDEVICE_EXTENSION DevExt, BOOLEAN bIsCreate, LONGLONG DiskSize,
                                    BOOLEAN NoSparse)
{
    PAGED_CODE();
    NTSTATUS status = SeImpersonateClientEx(&DevExt->ClientContext, nullptr);
    if (!NT_SUCCESS(status)) {
        KLOG_ERROR(u"[redav] SeImpersonateClient failed!(status=0x%08x)", status);
        return nullptr;
    }
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, DevExt->FilePath,
                               OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK Iosb;
    HANDLE File = nullptr;
    BOOLEAN Ok = FALSE;
    do {
        if (bIsCreate) {
            status = ZwCreateFile(&File, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &Attributes,
                                  &Iosb, nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_OVERWRITE_IF,
                                  CONTAINER_OPEN_OPTIONS, nullptr, 0);
        } else if (DevExt->IsReadOnly) {
            status = ZwCreateFile(&File, GENERIC_READ | SYNCHRONIZE, &Attributes, &Iosb, nullptr,
                                  FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                                  CONTAINER_OPEN_OPTIONS, nullptr, 0);
        } else {
            status = ZwCreateFile(&File, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &Attributes,
                                  &Iosb, nullptr, FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN,
                                  CONTAINER_OPEN_OPTIONS, nullptr, 0);
        }
        if (!NT_SUCCESS(status)) {
            File = nullptr;
            KLOG_ERROR(u"[redav] ZwCreateFile failed!(status=0x%08x, bIsCreate=%d)", status,
                       bIsCreate);
            break;
        }
        if (bIsCreate) {
            if (!NoSparse) {
                status = ZwFsControlFile(File, nullptr, nullptr, nullptr, &Iosb, FSCTL_SET_SPARSE,
                                         nullptr, 0, nullptr, 0);
                if (!NT_SUCCESS(status))
                    KLOG_ERROR(u"[redav] Set FileSparse Failed!");
            }
            FILE_END_OF_FILE_INFORMATION EndOfFile;
            EndOfFile.EndOfFile.QuadPart = DiskSize + REDAV_HIDDEN_BYTES;
            status = ZwSetInformationFile(File, &Iosb, &EndOfFile, sizeof(EndOfFile),
                                          FileEndOfFileInformation);
            if (!NT_SUCCESS(status)) {
                KLOG_ERROR(u"[redav] ZwSetInformationFile failed!(status=0x%08x, bIsCreate=%d)",
                           status, bIsCreate);
                break;
            }
        }
        FILE_STANDARD_INFORMATION Standard;
        status = ZwQueryInformationFile(File, &Iosb, &Standard, sizeof(Standard),
                                        FileStandardInformation);
        if (!NT_SUCCESS(status)) {
            KLOG_ERROR(u"[redav] ZwQueryInformationFile failed!(status=0x%08x)", status);
            break;
        }
        DevExt->FileSize = Standard.EndOfFile.QuadPart;
        if (!DevExt->IsCDROM) {
            // No container is shorter than its two hidden sectors.
            if (DevExt->FileSize < REDAV_HIDDEN_BYTES) {
                KLOG_ERROR(u"[redav] VirtualDiskFile is too small!(FileSize=%I64d)",
                           DevExt->FileSize);
                break;
            }
            DevExt->FileSize -= REDAV_HIDDEN_BYTES;
            if (!IsContainerLayoutSize(DevExt->FileSize))
                break;
        } else if (DevExt->FileSize < REDAV_HIDDEN_SECTOR_SIZE) {
            KLOG_ERROR(u"[redav] VirtualDiskFile holds no disk sector!(FileSize=%I64d)",
                       DevExt->FileSize);
            break;
        }
        FILE_ALIGNMENT_INFORMATION Alignment;
        status = ZwQueryInformationFile(File, &Iosb, &Alignment, sizeof(Alignment),
                                        FileAlignmentInformation);
        if (!NT_SUCCESS(status)) {
            KLOG_ERROR(u"[redav] ZwQueryInformationFile failed!(status=0x%08x)", status);
            break;
        }
        DevExt->DeviceObject->AlignmentRequirement = Alignment.AlignmentRequirement;
        Ok = TRUE;
    } while (false);
    PsRevertToSelf();
    if (!Ok && File) {
        ZwClose(File);
        File = nullptr;
    }
    return File;
}
