#include "handle_table.h"

#include "errhandlingapi.h"
#include "processthreadsapi.h"
#include "winerror.h"

#include <mutex>
#include <unordered_map>

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

struct Table {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<HandleObject>> objects;
    // Handle values are multiples of 4 as on Windows and are not reused soon, so a stale handle
    // is far more likely to be refused than to hit a new object.
    uintptr_t next = 0x100;
};

Table& table()
{
    static Table t;
    return t;
}

} // namespace

HANDLE handle_insert(std::shared_ptr<HandleObject> object)
{
    Table& t = table();
    std::lock_guard guard(t.lock);
    uintptr_t value;
    do {
        value = t.next;
        t.next += 4;
        if (t.next >= (uintptr_t(1) << 30))
            t.next = 0x100;
    } while (t.objects.count(value));
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> handle_lookup(HANDLE handle)
{
    Table& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == t.objects.end() ? nullptr : it->second;
}

std::shared_ptr<HandleObject> handle_remove(HANDLE handle)
{
    Table& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end())
        return nullptr;
    auto object = std::move(it->second);
    t.objects.erase(it);
    return object;
}

size_t handle_count()
{
    Table& t = table();
    std::lock_guard guard(t.lock);
    return t.objects.size();
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
