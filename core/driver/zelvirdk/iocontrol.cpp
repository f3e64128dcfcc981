// The control device: its creation and the handler of its device-control requests.
#include "iocontrol.h"

#include "klog.h"
#include "requester.h"
#include "supportex.h"

#include "virtualdisk.h"

namespace {

PDRIVER_OBJECT g_ControlDriver = nullptr;
PDEVICE_OBJECT g_ControlDevice = nullptr;
bool g_ControlLinkCreated = false;

// How a code's lengths are checked: exactly the value, or at least it.
enum class LengthRule { Exactly, AtLeast };

struct ControlCode {
    ULONG Code;
    LengthRule InputRule;
    ULONG Input;
    LengthRule OutputRule;
    ULONG Output;
    ULONG_PTR Information; // on success; the read request reports its output length instead
    bool HasLetter;
    bool WritesLetterBack;
};

constexpr LengthRule E = LengthRule::Exactly;
constexpr LengthRule L = LengthRule::AtLeast;

const ControlCode kCodes[] = {
    {IOCTL_DRVLOG_REGISTER_EVENT, E, 8, E, 0, 0, false, false},
    {IOCTL_DRVLOG_SET_CONFIG, E, sizeof(DRVLOG_CONFIG), E, 0, 0, false, false},
    {IOCTL_DRVLOG_GET_CONFIG, E, 0, E, sizeof(DRVLOG_CONFIG), sizeof(DRVLOG_CONFIG), false, false},
    {IOCTL_DRVLOG_READ_MEMLOG, E, 0, L, 1, 0, false, false},
    {IOCTL_REDAV_QUERY_VOLUME, L, 2, L, sizeof(REDAV_VOLUME_INFO), sizeof(REDAV_VOLUME_INFO), true,
     false},
    {IOCTL_REDAV_MOUNT_CDROM, L, REDAV_MOUNT_REQUEST_MIN_SIZE, E, 0, 0, true, true},
    {IOCTL_REDAV_MOUNT_NEW_DISK, L, REDAV_MOUNT_REQUEST_MIN_SIZE, E, 0, 0, true, true},
    {IOCTL_REDAV_MOUNT_EXIST_DISK, L, REDAV_MOUNT_REQUEST_MIN_SIZE, E, 0, 0, true, true},
    {IOCTL_REDAV_DISMOUNT, L, sizeof(REDAV_DISMOUNT_REQUEST), E, 0, 0, true, true},
    {IOCTL_REDAV_SET_VOLUME_RW_STATUS, E, sizeof(REDAV_RW_STATUS_REQUEST), E, 0, 0, true, true},
    {IOCTL_REDAV_QUERY_HIDE_SECTOR, L, 2, L, sizeof(REDAV_HIDE_SECTOR_DATA),
     sizeof(REDAV_HIDE_SECTOR_DATA), true, false},
    {IOCTL_REDAV_SET_HIDE_SECTOR, E, sizeof(REDAV_HIDE_SECTOR_DATA), E, 0, 0, true, true},
};

const ControlCode* FindCode(ULONG Code)
{
    for (const ControlCode& entry : kCodes) {
        if (entry.Code == Code) {
            return &entry;
        }
    }
    return nullptr;
}

bool LengthFits(LengthRule Rule, ULONG Expected, ULONG Actual)
{
    return Rule == LengthRule::Exactly ? Actual == Expected : Actual >= Expected;
}

// The checks a mount request passes before anything is touched: the key lies inside the
// input, an encrypted mount carries a key, and the path ends within its field.
bool MountRequestIsSound(ULONG Code, const REDAV_MOUNT_REQUEST* Request, ULONG InputLength)
{
    if (Request->KeyLength > InputLength - REDAV_MOUNT_KEY_OFFSET) {
        return false;
    }
    if (Code != IOCTL_REDAV_MOUNT_CDROM && Request->IsEncrypt && Request->KeyLength == 0) {
        return false;
    }
    for (WCHAR c : Request->FilePath) {
        if (c == 0) {
            return true;
        }
    }
    return false;
}

// The operations return FALSE with the reason in Status.
BOOLEAN Mount(ULONG Code, PREDAV_MOUNT_REQUEST Request, PNTSTATUS Status)
{
    // The rewrite's status is not looked at: a path it cannot rewrite fails to open later.
    SupportEx_DosPathToNtPath(Request->FilePath, REDAV_PATH_CHARS, nullptr);
    WCHAR letter = Request->VolumeLetter;
    switch (Code) {
    case IOCTL_REDAV_MOUNT_CDROM:
        return VirtualDisk_MountCDROM(letter, Request->FilePath, Status);
    case IOCTL_REDAV_MOUNT_NEW_DISK:
        return VirtualDisk_MountNewDisk(letter, Request->FilePath, Request->DiskSize,
                                        Request->NoSparse != 0, Request->IsEncrypt != 0,
                                        Request->Key, Request->KeyLength, Status);
    default:
        return VirtualDisk_MountExistDisk(letter, Request->FilePath, Request->IsReadOnly != 0,
                                          Request->IsEncrypt != 0, Request->Key, Request->KeyLength,
                                          Status);
    }
}

// STATUS_SUCCESS, or why the operation failed: a refusal (another user's volume, a user's cap
// of volumes) keeps its own status, anything else is STATUS_UNSUCCESSFUL.
NTSTATUS RunVolumeOperation(ULONG Code, PVOID Buffer, WCHAR Letter)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    BOOLEAN done = FALSE;
    switch (Code) {
    case IOCTL_REDAV_QUERY_VOLUME:
        done = VirtualDisk_QueryVolume(Letter, static_cast<PREDAV_VOLUME_INFO>(Buffer));
        break;
    case IOCTL_REDAV_QUERY_HIDE_SECTOR:
        done = VirtualDisk_QueryHideSector(Letter, static_cast<PREDAV_HIDE_SECTOR_DATA>(Buffer),
                                           &status);
        break;
    case IOCTL_REDAV_SET_HIDE_SECTOR:
        done = VirtualDisk_HideSectorSetting(Letter, static_cast<PREDAV_HIDE_SECTOR_DATA>(Buffer),
                                             &status);
        break;
    case IOCTL_REDAV_SET_VOLUME_RW_STATUS:
        done = VirtualDisk_SetVolumeRWStatus(
            Letter, static_cast<PREDAV_RW_STATUS_REQUEST>(Buffer)->VolumeRWStatus, &status);
        break;
    case IOCTL_REDAV_DISMOUNT:
        done = VirtualDisk_DisMount(
            Letter, static_cast<PREDAV_DISMOUNT_REQUEST>(Buffer)->Force != 0, &status);
        break;
    default:
        done = Mount(Code, static_cast<PREDAV_MOUNT_REQUEST>(Buffer), &status);
        break;
    }
    if (done)
        return STATUS_SUCCESS;
    return status == STATUS_ACCESS_DENIED || status == STATUS_QUOTA_EXCEEDED ? status
                                                                             : STATUS_UNSUCCESSFUL;
}

// The log's settings are the machine's: only a privileged requester changes them.
bool MayChangeLogSettings()
{
    REDAV_REQUESTER requester;
    Requester_Identify(&requester);
    if (requester.IsPrivileged) {
        return true;
    }
    KLOG_WARNING(u"[redav] DrvLog Config Setting refused, not an administrator!");
    return false;
}

} // namespace

NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject)
{
    PAGED_CODE();
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, REDAV_CONTROL_DEVICE_NAME);
    RtlInitUnicodeString(&linkName, REDAV_CONTROL_LINK_NAME);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, 0, &deviceName, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    g_ControlDriver = DriverObject;
    g_ControlDevice = device;
    g_ControlLinkCreated = true;
    return STATUS_SUCCESS;
}

VOID DeleteControlDevice()
{
    PAGED_CODE();
    // A link this driver did not make (one that was already there) is left alone.
    if (g_ControlLinkCreated) {
        UNICODE_STRING linkName;
        RtlInitUnicodeString(&linkName, REDAV_CONTROL_LINK_NAME);
        IoDeleteSymbolicLink(&linkName);
        g_ControlLinkCreated = false;
    }
    if (g_ControlDevice != nullptr) {
        IoDeleteDevice(g_ControlDevice);
        g_ControlDevice = nullptr;
    }
}

BOOLEAN IsControlDevice(PDEVICE_OBJECT DeviceObject)
{
    return DeviceObject != nullptr && DeviceObject == g_ControlDevice &&
           DeviceObject->DriverObject == g_ControlDriver &&
           DeviceObject->DeviceExtension == nullptr;
}

NTSTATUS DeviceIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG_PTR information = 0;
    NTSTATUS status = STATUS_INVALID_PARAMETER;

    const ControlCode* entry = FindCode(code);
    if (entry == nullptr || !LengthFits(entry->InputRule, entry->Input, inputLength) ||
        !LengthFits(entry->OutputRule, entry->Output, outputLength) ||
        (buffer == nullptr && (inputLength != 0 || outputLength != 0))) {
        // Unknown code or lengths outside the rule: STATUS_INVALID_PARAMETER.
    } else if (!entry->HasLetter) {
        status = STATUS_SUCCESS;
        information = entry->Information;
        switch (code) {
        case IOCTL_DRVLOG_REGISTER_EVENT: {
            auto value = static_cast<PDRVLOG_REGISTER_EVENT>(buffer)->EventHandle;
            HANDLE event = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
            KLogRegisterEvent(event, Irp->RequestorMode);
            DBG_TRACE("[redav] DrvLog Register Event: 0x%08X", static_cast<ULONG>(value));
            break;
        }
        case IOCTL_DRVLOG_SET_CONFIG: {
            if (!MayChangeLogSettings()) {
                status = STATUS_ACCESS_DENIED;
                information = 0;
                break;
            }
            KLogSetConfig(static_cast<PDRVLOG_CONFIG>(buffer));
            DRVLOG_CONFIG applied;
            KLogGetConfig(&applied);
            DBG_TRACE("[redav] DrvLog Config Setting: Trace=%d, MemLogMaxCnt=%d, "
                      "LogLevel=0x%02x, LogType=0x%08x",
                      static_cast<int>(applied.Trace), static_cast<int>(applied.MemLogMaxCnt),
                      static_cast<unsigned>(applied.LogLevel),
                      static_cast<unsigned>(applied.LogType));
            break;
        }
        case IOCTL_DRVLOG_GET_CONFIG:
            KLogGetConfig(static_cast<PDRVLOG_CONFIG>(buffer));
            break;
        default: // IOCTL_DRVLOG_READ_MEMLOG
            KLogRead(buffer, outputLength);
            information = outputLength;
            break;
        }
    } else {
        auto* letterField = static_cast<WCHAR*>(buffer);
        WCHAR letter = SupportEx_UpcaseLetter(*letterField);
        bool isMount = code == IOCTL_REDAV_MOUNT_CDROM || code == IOCTL_REDAV_MOUNT_NEW_DISK ||
                       code == IOCTL_REDAV_MOUNT_EXIST_DISK;
        if (letter < u'D' || letter > u'Z') {
            // Drives A to C never carry a volume.
        } else if (isMount && !MountRequestIsSound(code, static_cast<PREDAV_MOUNT_REQUEST>(buffer),
                                                   inputLength)) {
            // A key past the input, an encrypted mount without a key or an unterminated path.
        } else {
            if (entry->WritesLetterBack) {
                *letterField = letter;
            }
            status = RunVolumeOperation(code, buffer, letter);
            if (NT_SUCCESS(status)) {
                information = entry->Information;
            }
        }
    }

    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
