// Object manager internals shared by the layer's modules (not visible to the driver).
//
// Every object the layer hands out (device, driver, file, key, thread, process, event, directory,
// symbolic link, token) is a body allocated by ob_create_object behind a hidden header that holds
// its kind, its reference count and its destructor. Handles name a body plus the access granted;
// a handle holds one reference. Kernel handles (OBJ_KERNEL_HANDLE) and the handles of client
// processes live in one table here, tagged with the owning process.
#pragma once

#include <ntifs.h>

namespace ntos::detail {

enum class object_kind {
    directory,
    symbolic_link,
    device,
    driver,
    file,
    key,
    thread,
    process,
    event,
    token,
    section,
};

using object_destructor = void (*)(void* body);

// New object with one reference owned by the caller; body is zero-filled.
void* ob_create_object(object_kind kind, size_t body_size, object_destructor destroy);
void ob_reference(void* body);
// Runs the destructor and frees the body when the last reference goes.
void ob_dereference(void* body);
object_kind ob_kind(const void* body);

// Inserts a handle that takes its own reference on body.
NTSTATUS ob_insert_handle(void* body, ACCESS_MASK granted, ULONG attributes, PHANDLE handle);
// Looks a handle up and adds a reference for the caller; STATUS_INVALID_HANDLE for unknown
// handles, STATUS_OBJECT_TYPE_MISMATCH when the kind differs.
NTSTATUS ob_reference_by_handle(HANDLE handle, object_kind kind, void** body, ACCESS_MASK* granted);
NTSTATUS ob_close_handle(HANDLE handle);

// Walks the namespace from the root (or from root_directory) following symbolic links and
// the caller's session for \??; stops at the first object that is not a directory or a link
// (a device) and returns it referenced, with the rest of the path (leading backslash kept).
NTSTATUS ob_lookup_path(HANDLE root_directory, PCUNICODE_STRING path, void** body,
                        UNICODE_STRING* remaining, bool open_link);

} // namespace ntos::detail
