#include "handle_table.h"

#include "errhandlingapi.h"
#include "processthreadsapi.h"
#include "winerror.h"

namespace win32::detail {

HandleObject::~HandleObject() = default;

DWORD HandleObject::read(void*, DWORD, DWORD* transferred)
{
    if (transferred)
        *transferred = 0;
    return ERROR_INVALID_FUNCTION;
}

DWORD HandleObject::write(const void*, DWORD, DWORD* transferred)
{
    if (transferred)
        *transferred = 0;
    return ERROR_INVALID_FUNCTION;
}

DWORD HandleObject::flush()
{
    return ERROR_INVALID_FUNCTION;
}

DWORD HandleObject::size(ULONGLONG*)
{
    return ERROR_INVALID_FUNCTION;
}

DWORD HandleObject::device_io_control(DWORD, const void*, DWORD, void*, DWORD, DWORD* returned)
{
    if (returned)
        *returned = 0;
    return ERROR_INVALID_FUNCTION;
}

DWORD HandleObject::close()
{
    return ERROR_SUCCESS;
}

namespace {

// File-like handles take the values below 2^30; the WinHTTP handles live above.
HandleTable<HandleObject>& table()
{
    static HandleTable<HandleObject> t(0x100, uintptr_t(1) << 30);
    return t;
}

} // namespace

HANDLE handle_insert(std::shared_ptr<HandleObject> object)
{
    return reinterpret_cast<HANDLE>(table().insert(std::move(object)));
}

std::shared_ptr<HandleObject> handle_lookup(HANDLE handle)
{
    return table().lookup(reinterpret_cast<uintptr_t>(handle));
}

std::shared_ptr<HandleObject> handle_remove(HANDLE handle)
{
    return table().remove(reinterpret_cast<uintptr_t>(handle));
}

size_t handle_count()
{
    return table().size();
}

} // namespace win32::detail

HANDLE WINAPI GetCurrentProcess(VOID)
{
    return reinterpret_cast<HANDLE>(intptr_t(-1));
}

BOOL WINAPI GetProcessHandleCount(HANDLE hProcess, PDWORD pdwHandleCount)
{
    if (hProcess != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!pdwHandleCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pdwHandleCount = DWORD(win32::detail::handle_count());
    return TRUE;
}
