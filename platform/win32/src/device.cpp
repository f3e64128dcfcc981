#include "device.h"

#include "errhandlingapi.h"
#include "winerror.h"

namespace win32::detail {

// No device is reachable yet.
HANDLE device_open(std::u16string_view, DWORD, DWORD, DWORD, DWORD)
{
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

} // namespace win32::detail
