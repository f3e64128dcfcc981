// The sector routines: the file I/O of a run of container sectors around the transform.
#include "diskrw.h"

#include "devext.h"

namespace {

// The transform is defined per 512-byte container sector; a run that does not start and end on
// sector boundaries would cipher bytes that are not the head of a sector and leave the real head
// as plain XOR, so the sector would no longer read back through an aligned request.
BOOLEAN _IsWholeSectorRun(LONGLONG FileOffset, ULONG Length)
{
    return (((ULONGLONG)FileOffset | Length) % DISKRW_SECTOR_SIZE) == 0;
}

} // namespace

NTSTATUS DiskRW_Initialize()
{
    return STATUS_SUCCESS;
}

VOID DiskRW_Uninitialize() {}

NTSTATUS DiskRW_Write(PDEVICE_EXTENSION DevExt, LONGLONG FileOffset, PVOID Buffer, ULONG Length)
{
    PAGED_CODE();
    if (DevExt->IsEncrypt) {
        ASSERT(DevExt->BlowFish);
        ASSERT(DevExt->EncryptSectors);
        if (!_IsWholeSectorRun(FileOffset, Length)) {
            return STATUS_INVALID_PARAMETER;
        }
        DiskRW_EncryptRun(DevExt->BlowFish, DevExt->EncryptSectors, FileOffset, (PUCHAR)Buffer,
                          Length);
    }
    IO_STATUS_BLOCK iosb;
    LARGE_INTEGER offset;
    offset.QuadPart = FileOffset;
    return ZwWriteFile(DevExt->FileHandle, nullptr, nullptr, nullptr, &iosb, Buffer, Length,
                       &offset, nullptr);
}

NTSTATUS DiskRW_Read(PDEVICE_EXTENSION DevExt, LONGLONG FileOffset, PVOID Buffer, ULONG Length)
{
    PAGED_CODE();
    if (DevExt->IsEncrypt) {
        ASSERT(DevExt->BlowFish);
        ASSERT(DevExt->EncryptSectors);
        if (!_IsWholeSectorRun(FileOffset, Length)) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    IO_STATUS_BLOCK iosb;
    LARGE_INTEGER offset;
    offset.QuadPart = FileOffset;
    NTSTATUS status = ZwReadFile(DevExt->FileHandle, nullptr, nullptr, nullptr, &iosb, Buffer,
                                 Length, &offset, nullptr);
    if (!NT_SUCCESS(status)) {
        return status; // what the file system left in the buffer stays as it is
    }
    if (DevExt->IsEncrypt) {
        DiskRW_DecryptRun(DevExt->BlowFish, DevExt->EncryptSectors, FileOffset, (PUCHAR)Buffer,
                          Length);
    }
    return status;
}
