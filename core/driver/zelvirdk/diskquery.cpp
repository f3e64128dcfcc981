// Disk, storage, volume, mount-device and CD-ROM queries of a volume device.
#include "diskquery.h"

#include <mountdev.h>
#include <ntddcdrm.h>
#include <ntdddisk.h>
#include <ntddvol.h>

#include "klog.h"
#include "supportex.h"

namespace {

// The geometry describes cylinders of 64 sectors: two tracks of 32.
constexpr ULONG kTracksPerCylinder = 2;
constexpr ULONG kSectorsPerTrack = 32;
constexpr ULONG kCdromDataTrack = 4;

VOID _Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

ULONG _BytesPerSector(PDEVICE_EXTENSION Ext)
{
    return Ext->IsCDROM ? 2048 : 512;
}

VOID _FillGeometry(PDEVICE_EXTENSION Ext, PDISK_GEOMETRY Geometry)
{
    ULONG BytesPerSector = _BytesPerSector(Ext);
    Geometry->Cylinders.QuadPart = Ext->FileSize / BytesPerSector / 64;
    Geometry->MediaType = FixedMedia;
    Geometry->TracksPerCylinder = kTracksPerCylinder;
    Geometry->SectorsPerTrack = kSectorsPerTrack;
    Geometry->BytesPerSector = BytesPerSector;
}

// The whole medium is one partition starting at its first byte.
VOID _FillPartition(PDEVICE_EXTENSION Ext, PPARTITION_INFORMATION Partition)
{
    RtlZeroMemory(Partition, sizeof(*Partition));
    Partition->StartingOffset.QuadPart = 0;
    Partition->PartitionLength.QuadPart = Ext->FileSize;
    Partition->HiddenSectors = 1;
    Partition->PartitionNumber = 0;
    Partition->PartitionType = 0;
    Partition->BootIndicator = FALSE;
    Partition->RecognizedPartition = FALSE;
    Partition->RewritePartition = FALSE;
}

VOID _FillPartitionEx(PDEVICE_EXTENSION Ext, PPARTITION_INFORMATION_EX Partition)
{
    RtlZeroMemory(Partition, sizeof(*Partition));
    Partition->PartitionStyle = PARTITION_STYLE_MBR;
    Partition->StartingOffset.QuadPart = 0;
    Partition->PartitionLength.QuadPart = Ext->FileSize;
    Partition->PartitionNumber = 0;
    Partition->RewritePartition = FALSE;
    Partition->Mbr.PartitionType = 0;
    Partition->Mbr.BootIndicator = FALSE;
    Partition->Mbr.RecognizedPartition = FALSE;
    Partition->Mbr.HiddenSectors = 1;
}

// The unique id and the device name share one form: a 16-bit byte length, then
// the name's characters without a terminator. A caller with too little room
// learns the length and asks again.
VOID _AnswerMountDevName(PDEVICE_EXTENSION Ext, PIRP Irp, PVOID Buffer, ULONG OutputLength)
{
    if (OutputLength < sizeof(MOUNTDEV_NAME)) {
        // Nothing fits, not even the length; reporting more bytes than the caller's
        // buffer holds would have them copied past its end.
        _Complete(Irp, STATUS_BUFFER_OVERFLOW, 0);
        return;
    }
    PMOUNTDEV_NAME Name = static_cast<PMOUNTDEV_NAME>(Buffer);
    Name->NameLength = Ext->DeviceName->Length;
    if (OutputLength < static_cast<ULONG>(Name->NameLength) + 2) {
        _Complete(Irp, STATUS_BUFFER_OVERFLOW, sizeof(MOUNTDEV_NAME));
        return;
    }
    RtlCopyMemory(Name->Name, Ext->DeviceName->Buffer, Name->NameLength);
    _Complete(Irp, STATUS_SUCCESS, static_cast<ULONG_PTR>(Name->NameLength) + 2);
}

VOID _AnswerSuggestedLink(PDEVICE_EXTENSION Ext, PIRP Irp, PVOID Buffer, ULONG OutputLength)
{
    if (OutputLength < 6) {
        _Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    WCHAR Link[] = u"\\DosDevices\\?:";
    Link[12] = Ext->VolumeLetter;
    PMOUNTDEV_SUGGESTED_LINK_NAME Suggested = static_cast<PMOUNTDEV_SUGGESTED_LINK_NAME>(Buffer);
    Suggested->UseOnlyIfThereAreNoOtherLinks = FALSE;
    Suggested->NameLength = sizeof(Link) - sizeof(WCHAR);
    if (OutputLength < static_cast<ULONG>(Suggested->NameLength) + 4) {
        _Complete(Irp, STATUS_BUFFER_OVERFLOW, 6);
        return;
    }
    RtlCopyMemory(Suggested->Name, Link, Suggested->NameLength);
    _Complete(Irp, STATUS_SUCCESS, static_cast<ULONG_PTR>(Suggested->NameLength) + 4);
}

// Table of contents and last session alike: one complete data track or session.
VOID _FillOneDataTrack(PUCHAR Record, ULONG Size)
{
    RtlZeroMemory(Record, Size);
    Record[2] = 1;
    Record[3] = 1;
    Record[5] = static_cast<UCHAR>((Record[5] & 0xF0) | kCdromDataTrack);
}

} // namespace

VOID _ProcessIrpDeviceControl(PDEVICE_EXTENSION Ext, PIRP Irp)
{
    PAGED_CODE();
    PIO_STACK_LOCATION IrpSp = IoGetCurrentIrpStackLocation(Irp);
    ULONG Code = IrpSp->Parameters.DeviceIoControl.IoControlCode;
    ULONG InputLength = IrpSp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG OutputLength = IrpSp->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;

    switch (Code) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
    case IOCTL_CDROM_GET_DRIVE_GEOMETRY:
        if (OutputLength < sizeof(DISK_GEOMETRY)) {
            _Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
            return;
        }
        _FillGeometry(Ext, static_cast<PDISK_GEOMETRY>(Buffer));
        _Complete(Irp, STATUS_SUCCESS, sizeof(DISK_GEOMETRY));
        return;

    case IOCTL_DISK_GET_LENGTH_INFO:
        if (OutputLength < sizeof(GET_LENGTH_INFORMATION)) {
            _Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
            return;
        }
        static_cast<PGET_LENGTH_INFORMATION>(Buffer)->Length.QuadPart = Ext->FileSize;
        _Complete(Irp, STATUS_SUCCESS, sizeof(GET_LENGTH_INFORMATION));
        return;

    case IOCTL_DISK_GET_PARTITION_INFO:
        if (OutputLength < sizeof(PARTITION_INFORMATION)) {
            _Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
            return;
        }
        _FillPartition(Ext, static_cast<PPARTITION_INFORMATION>(Buffer));
        _Complete(Irp, STATUS_SUCCESS, sizeof(PARTITION_INFORMATION));
        return;

    case IOCTL_DISK_GET_PARTITION_INFO_EX:
        if (OutputLength < sizeof(PARTITION_INFORMATION_EX)) {
            _Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
            return;
        }
        _FillPartitionEx(Ext, static_cast<PPARTITION_INFORMATION_EX>(Buffer));
        _Complete(Irp, STATUS_SUCCESS, sizeof(PARTITION_INFORMATION_EX));
        return;

    case IOCTL_DISK_GET_DRIVE_LAYOUT: {
        if (OutputLength < sizeof(DRIVE_LAYOUT_INFORMATION)) {
            _Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
            return;
        }
        PDRIVE_LAYOUT_INFORMATION Layout = static_cast<PDRIVE_LAYOUT_INFORMATION>(Buffer);
        Layout->PartitionCount = 1;
        Layout->Signature = 0;
        _FillPartition(Ext, &Layout->PartitionEntry[0]);
        _Complete(Irp, STATUS_SUCCESS, sizeof(DRIVE_LAYOUT_INFORMATION));
        return;
    }

    case IOCTL_DISK_IS_WRITABLE:
        _Complete(Irp, Ext->IsReadOnly ? STATUS_MEDIA_WRITE_PROTECTED : STATUS_SUCCESS, 0);
        return;

    case IOCTL_DISK_SET_PARTITION_INFO:
        if (Ext->IsReadOnly)
            _Complete(Irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
        else if (InputLength == 0)
            _Complete(Irp, STATUS_INVALID_PARAMETER, 0);
        else
            _Complete(Irp, STATUS_SUCCESS, 0);
        return;

    case IOCTL_DISK_VERIFY:
        if (InputLength < sizeof(VERIFY_INFORMATION)) {
            _Complete(Irp, STATUS_INVALID_PARAMETER, 0);
            return;
        }
        _Complete(Irp, STATUS_SUCCESS, static_cast<PVERIFY_INFORMATION>(Buffer)->Length);
        return;

    case IOCTL_DISK_CHECK_VERIFY:
    case IOCTL_CDROM_CHECK_VERIFY:
    case IOCTL_STORAGE_CHECK_VERIFY:
    case IOCTL_STORAGE_CHECK_VERIFY2:
        if (OutputLength >= sizeof(ULONG)) {
            *static_cast<PULONG>(Buffer) = 0; // the media never changes
            _Complete(Irp, STATUS_SUCCESS, sizeof(ULONG));
        } else {
            _Complete(Irp, STATUS_SUCCESS, 0);
        }
        return;

    case IOCTL_DISK_MEDIA_REMOVAL:
    case IOCTL_STORAGE_MEDIA_REMOVAL:
    case IOCTL_VOLUME_ONLINE:
        _Complete(Irp, STATUS_SUCCESS, 0);
        return;

    case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS:
        if (!SupportEx_IsWindows60()) {
            _Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
            return;
        }
        if (OutputLength < sizeof(VOLUME_DISK_EXTENTS)) {
            _Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
            return;
        }
        RtlZeroMemory(Buffer, sizeof(VOLUME_DISK_EXTENTS));
        _Complete(Irp, STATUS_SUCCESS, sizeof(VOLUME_DISK_EXTENTS));
        return;

    case IOCTL_MOUNTDEV_QUERY_UNIQUE_ID:
    case IOCTL_MOUNTDEV_QUERY_DEVICE_NAME:
        _AnswerMountDevName(Ext, Irp, Buffer, OutputLength);
        return;

    case IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME:
        _AnswerSuggestedLink(Ext, Irp, Buffer, OutputLength);
        return;

    case IOCTL_CDROM_READ_TOC:
        if (OutputLength < sizeof(CDROM_TOC)) {
            _Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
            return;
        }
        _FillOneDataTrack(static_cast<PUCHAR>(Buffer), sizeof(CDROM_TOC));
        _Complete(Irp, STATUS_SUCCESS, sizeof(CDROM_TOC));
        return;

    case IOCTL_CDROM_GET_LAST_SESSION:
        if (OutputLength < sizeof(CDROM_TOC_SESSION_DATA)) {
            _Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
            return;
        }
        _FillOneDataTrack(static_cast<PUCHAR>(Buffer), sizeof(CDROM_TOC_SESSION_DATA));
        _Complete(Irp, STATUS_SUCCESS, sizeof(CDROM_TOC_SESSION_DATA));
        return;

    default:
        KLOG_ERROR(u"[redav] Unknown IoControlCode %#x.(DeviceType=0x%08x, "
                   u"FunctionCode=0x%08x)",
                   Code, Code >> 16, (Code >> 2) & 0xFFF);
        _Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }
}
