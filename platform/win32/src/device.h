// Devices of the service, opened by their DOS device name (CreateFileW on "\\.\NAME"): the name
// resolves through the session's and the global links to an NT device name, whose control socket
// R/control/NAME (see hostns/control_wire.h) is one open handle while connected.
#pragma once

#include "windef.h"

#include <string_view>

namespace win32::detail {

// Opens the device whose DOS name is `name` (the text after "\\.\", for instance u"ZELRedAv")
// with CreateFileW's arguments. Returns a handle from the layer's handle table, or
// INVALID_HANDLE_VALUE after SetLastError: ERROR_FILE_NOT_FOUND when no link or no listening
// device answers, else the error the driver's open status maps to.
HANDLE device_open(std::u16string_view name, DWORD desired_access, DWORD share_mode,
                   DWORD creation_disposition, DWORD flags_and_attributes);

// The Windows error code of an NTSTATUS, as the platform maps it for its callers (ERROR_SUCCESS
// for success statuses, ERROR_MR_MID_NOT_FOUND for statuses it has no code for).
DWORD nt_status_to_dos_error(LONG status);

// A handle object that can travel to a device as an event: the eventfd that the device sets.
// The layer's event objects (CreateEventW) derive from it.
class EventSource {
public:
    virtual ~EventSource() = default;
    virtual int event_fd() const = 0;
};

} // namespace win32::detail
