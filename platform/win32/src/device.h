// Opening a device by its DOS device name (CreateFileW on "\\.\NAME").
#pragma once

#include "windef.h"

#include <string_view>

namespace win32::detail {

// Opens the device whose DOS name is `name` (the text after "\\.\", for instance u"ZELRedAv")
// with CreateFileW's arguments. Returns a handle from the layer's handle table, or
// INVALID_HANDLE_VALUE after SetLastError with the Windows error code.
HANDLE device_open(std::u16string_view name, DWORD desired_access, DWORD share_mode,
                   DWORD creation_disposition, DWORD flags_and_attributes);

} // namespace win32::detail
