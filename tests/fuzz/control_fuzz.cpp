// libFuzzer target for the control device's handler: arbitrary codes (the twelve known ones
// and raw values), arbitrary input and output lengths and bytes, sent in process through
// IoCallDriver to the real driver over the kernel layer. The system buffer is exactly
// max(input, output) bytes, as the I/O manager sizes it, so AddressSanitizer sees any read or
// write past it. The layer runs without its host start: no volume device exists, so no request
// can reach a host file. Requests come from a client process of an unprivileged user (nobody),
// as a local user's would through the control socket.
#include <ntifs.h>
#include <ntos_layer.h>

#include "main.h"
#include "redav_ioctl.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const ULONG kCodes[] = {
    IOCTL_DRVLOG_REGISTER_EVENT,      IOCTL_DRVLOG_SET_CONFIG,       IOCTL_DRVLOG_GET_CONFIG,
    IOCTL_DRVLOG_READ_MEMLOG,         IOCTL_REDAV_QUERY_VOLUME,      IOCTL_REDAV_MOUNT_CDROM,
    IOCTL_REDAV_MOUNT_NEW_DISK,       IOCTL_REDAV_MOUNT_EXIST_DISK,  IOCTL_REDAV_DISMOUNT,
    IOCTL_REDAV_SET_VOLUME_RW_STATUS, IOCTL_REDAV_QUERY_HIDE_SECTOR, IOCTL_REDAV_SET_HIDE_SECTOR,
};

PDEVICE_OBJECT g_control = nullptr;
PEPROCESS g_peer = nullptr;

NTSTATUS Keep(PDEVICE_OBJECT, PIRP, PVOID)
{
    return STATUS_MORE_PROCESSING_REQUIRED;
}

bool Allowed(NTSTATUS status)
{
    // A peer other than root is refused settings and other users' volumes, and has a cap.
    return status == STATUS_SUCCESS || status == STATUS_INVALID_PARAMETER ||
           status == STATUS_UNSUCCESSFUL || status == STATUS_ACCESS_DENIED ||
           status == STATUS_QUOTA_EXCEEDED;
}

void Start()
{
    char state[] = "/tmp/lockbin-fuzz-XXXXXX";
    if (mkdtemp(state) == nullptr) {
        std::abort();
    }
    setenv("LOCKBIN_STATE", state, 1);
    setenv("LOCKBIN_ROOT", (std::string(state) + "/run").c_str(), 1);
    PDRIVER_OBJECT driver = nullptr;
    if (!NT_SUCCESS(ntos::load_driver(u"zelvirdk", DriverEntry, &driver))) {
        std::abort();
    }
    g_control = driver->DeviceObject;
    g_peer = ntos::create_client_process("fuzzpeer", 65534, 65534, 65534, 0);
    if (g_peer == nullptr) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (g_control == nullptr) {
        Start();
    }
    if (size < 5) {
        return 0;
    }
    // byte 0: code choice; bytes 1-2: input length; 3-4: output length; then the input bytes.
    ULONG code;
    size_t at = 5;
    if (data[0] < 0xF0) {
        code = kCodes[data[0] % (sizeof(kCodes) / sizeof(kCodes[0]))];
    } else if (size >= 9) {
        std::memcpy(&code, data + 5, 4);
        at = 9;
    } else {
        return 0;
    }
    ULONG in = ULONG(data[1] | (data[2] << 8)) % 2048;
    ULONG out = ULONG(data[3] | (data[4] << 8)) % 2048;
    size_t length = in > out ? in : out;
    std::vector<uint8_t> bytes(data + at, data + size);
    uint8_t* buffer = length ? static_cast<uint8_t*>(std::malloc(length)) : nullptr;
    for (size_t i = 0; i < length; ++i) {
        buffer[i] = i < bytes.size() ? bytes[i] : 0;
    }
    PIRP irp = IoAllocateIrp(g_control->StackSize, FALSE);
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->RequestorMode = UserMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = in;
    stack->Parameters.DeviceIoControl.OutputBufferLength = out;
    IoSetCompletionRoutine(irp, Keep, nullptr, TRUE, TRUE, TRUE);
    NTSTATUS returned;
    {
        ntos::process_attachment peer(g_peer);
        returned = IoCallDriver(g_control, irp);
    }
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    std::free(buffer);
    // The handler's contract: one of its three statuses, the same one returned and completed,
    // and never more output than the caller has room for.
    if (returned != status || !Allowed(status) || information > out ||
        (status != STATUS_SUCCESS && information != 0)) {
        std::abort();
    }
    return 0;
}
