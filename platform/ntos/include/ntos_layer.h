// Calls of the kernel layer itself, for the service host, the host bridges and the tests. The
// driver never includes this header: it sees only the kernel's own interface.
#pragma once

#include "wdm.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace ntos {

// ----- pool ---------------------------------------------------------------------------------

struct pool_tag_usage {
    uint64_t blocks = 0; // blocks currently allocated with the tag
    uint64_t bytes = 0;  // bytes requested for them
};
pool_tag_usage pool_usage(ULONG tag);

struct pool_statistics {
    uint64_t fresh_blocks = 0;  // blocks taken from the host
    uint64_t reused_blocks = 0; // allocations served from the free lists
    uint64_t cached_bytes = 0;  // bytes waiting on the free lists
};
pool_statistics pool_stats();
// Gives every block waiting on the free lists back to the host, and the host allocator's free
// pages back to the system: for an idle moment, such as after a volume has gone. Returns the
// bytes the free lists held.
uint64_t pool_release_cached();

// Writes one DbgPrint line per tag that still has blocks (all tags when count is 0) and
// returns true when there is none.
bool pool_report_leaks(const ULONG* tags, size_t count);

// ----- debugger output ----------------------------------------------------------------------

// Sends each DbgPrint line (with its newline) to sink instead of standard error; null restores
// standard error. Calls are serialised.
void set_debug_output(void (*sink)(const std::string& line));
// Bounds DbgPrint to a burst of lines, refilled at lines_per_second (500 and 100 unless set):
// a client that makes a driver print on every request cannot flood the service's output. Lines
// beyond the bound are dropped and counted in the next line printed. 0 for either lifts it.
void set_debug_output_rate(uint32_t lines_per_second, uint32_t burst);

// ----- drivers ------------------------------------------------------------------------------

// Creates the driver object "\Driver\<name>" and calls entry with it and the registry path
// ("\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\<name>"). On failure the driver object
// is gone again and entry's status is returned.
NTSTATUS load_driver(const std::u16string& name, PDRIVER_INITIALIZE entry, PDRIVER_OBJECT* driver);
// Calls the driver's unload routine, then checks the pool: blocks still allocated under any of
// the given tags are reported and, in checked builds, abort the process. Returns false on leaks
// (unchecked builds). Frees the driver object.
bool unload_driver(PDRIVER_OBJECT driver, const ULONG* leak_tags, size_t tag_count);
// A driver object for the layer's own devices (bridges, host drives), without an entry routine.
NTSTATUS create_driver_object(const std::u16string& name, PDRIVER_OBJECT* driver);
void delete_driver_object(PDRIVER_OBJECT driver);

// The SDDL string IoCreateDeviceSecure kept on the device (empty for IoCreateDevice).
std::u16string device_sddl(PDEVICE_OBJECT device);

// ----- processes ----------------------------------------------------------------------------

// A process object for a client connection ("System" is the layer's own process); referenced,
// release with ObDereferenceObject after close_client_process.
PEPROCESS create_client_process(const char* image_name, ULONG session_id, uint32_t uid,
                                uint32_t gid, int32_t host_pid);
// Closes every handle the process still holds and marks it ended (signalled).
void close_client_process(PEPROCESS process);

// While alive, the current host thread acts in process (PsGetCurrentProcess, handle ownership).
class process_attachment {
public:
    explicit process_attachment(PEPROCESS process);
    ~process_attachment();
    process_attachment(const process_attachment&) = delete;
    process_attachment& operator=(const process_attachment&) = delete;

private:
    PEPROCESS previous_;
};

// ----- requests -----------------------------------------------------------------------------

// One whole request to a device, as a bridge sends it: builds the IRP the way the I/O manager
// does for that major function (IRP_MJ_READ/WRITE through the device's buffered or direct I/O
// flag, IRP_MJ_DEVICE_CONTROL and IRP_MJ_INTERNAL_DEVICE_CONTROL per the code's method,
// IRP_MJ_CREATE/CLEANUP/CLOSE/FLUSH_BUFFERS/SHUTDOWN without buffers), calls the driver, waits
// when the request is pending and returns the final status; *information receives
// IoStatus.Information. file may be null, except for create, cleanup and close. For read and write,
// output/output_length and input/input_length are the data buffers respectively, offset the byte
// offset.
struct request {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG code = 0;
    const void* input = nullptr;
    ULONG input_length = 0;
    void* output = nullptr;
    ULONG output_length = 0;
    LONGLONG offset = 0;
    ULONG irp_flags = 0;
};
NTSTATUS send_request(PDEVICE_OBJECT device, PFILE_OBJECT file, const request& what,
                      ULONG_PTR* information);

// Opens a file object on a device as ZwCreateFile would (IRP_MJ_CREATE to its driver) and
// closes it again (IRP_MJ_CLEANUP then IRP_MJ_CLOSE when the last reference goes).
NTSTATUS open_device_file(PDEVICE_OBJECT device, const std::u16string& remaining,
                          ACCESS_MASK access, PFILE_OBJECT* file);
void close_device_file(PFILE_OBJECT file);

} // namespace ntos
