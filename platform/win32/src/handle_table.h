// The layer's handle table: every HANDLE that CreateFileW (or another opener) returns names one
// HandleObject. The object decides what each generic call means for its kind (a host file, the
// driver's control socket, a search); kinds are added by deriving, without touching this table.
#pragma once

#include "windef.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace win32::detail {

// Objects behind handle values of one range: values are multiples of 4 as on Windows and are not
// reused soon (they wrap from `limit` back to `first`), so a stale handle is far more likely to be
// refused than to hit a new object. The shared pointers keep an object alive while a call runs,
// even if another thread closes its handle meanwhile.
template <class Object> class HandleTable {
public:
    HandleTable(uintptr_t first, uintptr_t limit) : first_(first), limit_(limit), next_(first) {}

    uintptr_t insert(std::shared_ptr<Object> object)
    {
        std::lock_guard guard(lock_);
        uintptr_t value;
        do {
            value = next_;
            next_ += 4;
            if (next_ >= limit_)
                next_ = first_;
        } while (objects_.count(value));
        objects_.emplace(value, std::move(object));
        return value;
    }

    std::shared_ptr<Object> lookup(uintptr_t value)
    {
        std::lock_guard guard(lock_);
        auto it = objects_.find(value);
        return it == objects_.end() ? nullptr : it->second;
    }

    std::shared_ptr<Object> remove(uintptr_t value)
    {
        std::lock_guard guard(lock_);
        auto it = objects_.find(value);
        if (it == objects_.end())
            return nullptr;
        auto object = std::move(it->second);
        objects_.erase(it);
        return object;
    }

    size_t size()
    {
        std::lock_guard guard(lock_);
        return objects_.size();
    }

private:
    const uintptr_t first_, limit_;
    std::mutex lock_;
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects_;
    uintptr_t next_;
};

// One open object. Every operation returns a Windows error code (ERROR_SUCCESS on success); the
// public call stores it with SetLastError. The defaults refuse with ERROR_INVALID_FUNCTION, which
// is what Windows reports for a request that the object's kind does not support.
class HandleObject {
public:
    virtual ~HandleObject();

    // Reads up to `length` bytes at the current position; *transferred is set in every case.
    // Reaching the end is success with fewer bytes (0 at the end).
    virtual DWORD read(void* buffer, DWORD length, DWORD* transferred);
    // Writes all `length` bytes at the current position unless an error stops it; *transferred
    // counts what reached the object.
    virtual DWORD write(const void* buffer, DWORD length, DWORD* transferred);
    virtual DWORD flush();
    virtual DWORD size(ULONGLONG* bytes);
    // One synchronous control request; *returned is the byte count placed in `output`.
    virtual DWORD device_io_control(DWORD code, const void* input, DWORD input_length, void* output,
                                    DWORD output_length, DWORD* returned);
    // Called exactly once, when the handle is closed (CloseHandle or FindClose). Whatever it
    // returns, the handle is gone afterwards.
    virtual DWORD close();
};

// Registers an object and returns its new handle (never null, never INVALID_HANDLE_VALUE).
HANDLE handle_insert(std::shared_ptr<HandleObject> object);

// The object behind a handle, or null for a handle that is not open. The shared pointer keeps the
// object alive while a call runs, even if another thread closes the handle meanwhile.
std::shared_ptr<HandleObject> handle_lookup(HANDLE handle);

template <class T> std::shared_ptr<T> handle_lookup_as(HANDLE handle)
{
    return std::dynamic_pointer_cast<T>(handle_lookup(handle));
}

// Takes the handle out of the table and returns its object (null if it was not open). The caller
// calls close() on it.
std::shared_ptr<HandleObject> handle_remove(HANDLE handle);

// Number of open handles, for leak checks in tests.
size_t handle_count();

} // namespace win32::detail
