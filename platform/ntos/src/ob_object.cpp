// Object headers, reference counts and the handle table.
#include "ob_internal.h"
#include "ps_internal.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>
#include <unordered_set>

namespace ntos::detail {

void ob_last_handle_closed(void* body); // ob_namespace.cpp

namespace {

constexpr uint64_t header_magic = 0x6a624f736f746e4eULL;

struct alignas(16) object_header {
    uint64_t magic;
    std::atomic<LONG> refs;
    std::atomic<LONG> handles;
    object_kind kind;
    object_destructor destroy;
    object_destructor on_last_handle;
};
static_assert(sizeof(object_header) % 16 == 0);

object_header* header_of(const void* body)
{
    return reinterpret_cast<object_header*>(const_cast<char*>(static_cast<const char*>(body)) -
                                            sizeof(object_header));
}

std::mutex& live_lock()
{
    static std::mutex lock;
    return lock;
}
// Never destroyed: detached system threads may still drop their last references while the
// process exits, after function-local statics would have been torn down.
std::unordered_set<const void*>& live_objects()
{
    static auto* objects = new std::unordered_set<const void*>;
    return *objects;
}

struct handle_entry {
    void* body;
    ACCESS_MASK granted;
    ULONG attributes;
    PEPROCESS owner; // null for kernel handles
};

constexpr uintptr_t kernel_handle_base = 0xFFFFFFFF80000000ULL;

struct handle_table {
    std::mutex lock;
    std::unordered_map<uintptr_t, handle_entry> entries;
    uintptr_t next_kernel = 1;
    uintptr_t next_user = 1;
};
handle_table& handles()
{
    static auto* table = new handle_table; // outlives exiting threads, as live_objects does
    return *table;
}

bool is_kernel_handle(HANDLE handle)
{
    return (reinterpret_cast<uintptr_t>(handle) & kernel_handle_base) == kernel_handle_base;
}

} // namespace

void* ob_create_object(object_kind kind, size_t body_size, object_destructor destroy)
{
    size_t total = sizeof(object_header) + (body_size ? body_size : 1);
    void* memory = std::aligned_alloc(16, (total + 15) & ~size_t{15});
    if (!memory)
        return nullptr;
    std::memset(memory, 0, total);
    auto* header = new (memory) object_header{};
    header->magic = header_magic;
    header->refs.store(1);
    header->handles.store(0);
    header->kind = kind;
    header->destroy = destroy;
    void* body = reinterpret_cast<char*>(memory) + sizeof(object_header);
    std::lock_guard guard(live_lock());
    live_objects().insert(body);
    return body;
}

bool ob_is_object(const void* body)
{
    if (!body)
        return false;
    std::lock_guard guard(live_lock());
    return live_objects().count(body) != 0;
}

void ob_reference(void* body)
{
    NTOS_CHECK(ob_is_object(body), "ObReferenceObject on %p, which is not an object", body);
    header_of(body)->refs.fetch_add(1, std::memory_order_relaxed);
}

void ob_dereference(void* body)
{
    NTOS_CHECK(ob_is_object(body), "ObDereferenceObject on %p, which is not an object", body);
    object_header* header = header_of(body);
    LONG left = header->refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    NTOS_CHECK(left >= 0, "object %p dereferenced below zero", body);
    if (left != 0)
        return;
    if (header->destroy)
        header->destroy(body);
    {
        std::lock_guard guard(live_lock());
        live_objects().erase(body);
    }
    header->magic = 0;
    header->~object_header();
    std::free(header);
}

object_kind ob_kind(const void* body)
{
    return header_of(body)->kind;
}

LONG ob_reference_count(const void* body)
{
    return header_of(body)->refs.load();
}

LONG ob_handle_count(const void* body)
{
    return header_of(body)->handles.load();
}

NTSTATUS ob_insert_handle(void* body, ACCESS_MASK granted, ULONG attributes, PHANDLE handle)
{
    if (!body || !handle)
        return STATUS_INVALID_PARAMETER;
    handle_table& table = handles();
    bool kernel = (attributes & OBJ_KERNEL_HANDLE) != 0;
    PEPROCESS owner = kernel ? nullptr : PsGetCurrentProcess();
    ob_reference(body);
    header_of(body)->handles.fetch_add(1);
    std::lock_guard guard(table.lock);
    uintptr_t value =
        kernel ? kernel_handle_base | (table.next_kernel++ << 2) : (table.next_user++ << 2);
    table.entries[value] = handle_entry{body, granted, attributes, owner};
    *handle = reinterpret_cast<HANDLE>(value);
    return STATUS_SUCCESS;
}

NTSTATUS ob_reference_any_by_handle(HANDLE handle, void** body, ACCESS_MASK* granted,
                                    object_kind* kind)
{
    if (!body)
        return STATUS_INVALID_PARAMETER;
    handle_table& table = handles();
    PEPROCESS current = is_kernel_handle(handle) ? nullptr : PsGetCurrentProcess();
    std::lock_guard guard(table.lock);
    auto it = table.entries.find(reinterpret_cast<uintptr_t>(handle));
    if (it == table.entries.end() || it->second.owner != current)
        return STATUS_INVALID_HANDLE;
    ob_reference(it->second.body);
    *body = it->second.body;
    if (granted)
        *granted = it->second.granted;
    if (kind)
        *kind = ob_kind(it->second.body);
    return STATUS_SUCCESS;
}

NTSTATUS ob_reference_by_handle(HANDLE handle, object_kind kind, void** body, ACCESS_MASK* granted)
{
    void* found = nullptr;
    object_kind found_kind{};
    NTSTATUS status = ob_reference_any_by_handle(handle, &found, granted, &found_kind);
    if (!NT_SUCCESS(status))
        return status;
    if (found_kind != kind) {
        ob_dereference(found);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *body = found;
    return STATUS_SUCCESS;
}

void ob_set_close_procedure(void* body, object_destructor on_last_handle)
{
    header_of(body)->on_last_handle = on_last_handle;
}

static void release_handle(void* body)
{
    if (header_of(body)->handles.fetch_sub(1) == 1) {
        if (object_destructor cleanup = header_of(body)->on_last_handle)
            cleanup(body);
        ob_last_handle_closed(body);
    }
    ob_dereference(body);
}

NTSTATUS ob_close_handle(HANDLE handle)
{
    handle_table& table = handles();
    PEPROCESS current = is_kernel_handle(handle) ? nullptr : PsGetCurrentProcess();
    void* body = nullptr;
    {
        std::lock_guard guard(table.lock);
        auto it = table.entries.find(reinterpret_cast<uintptr_t>(handle));
        if (it == table.entries.end() || it->second.owner != current)
            return STATUS_INVALID_HANDLE;
        body = it->second.body;
        table.entries.erase(it);
    }
    // The object's own close work (a file's cleanup and close) may block: outside the lock.
    release_handle(body);
    return STATUS_SUCCESS;
}

void ob_close_process_handles(PEPROCESS process)
{
    handle_table& table = handles();
    std::vector<void*> bodies;
    {
        std::lock_guard guard(table.lock);
        for (auto it = table.entries.begin(); it != table.entries.end();) {
            if (it->second.owner == process && process) {
                bodies.push_back(it->second.body);
                it = table.entries.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (void* body : bodies)
        release_handle(body);
}

} // namespace ntos::detail

using namespace ntos::detail;

NTSTATUS ZwClose(HANDLE Handle)
{
    NTOS_PASSIVE_SERVICE("ZwClose");
    return ob_close_handle(Handle);
}

LONG_PTR ObfReferenceObject(PVOID Object)
{
    ob_reference(Object);
    return ob_reference_count(Object);
}

LONG_PTR ObfDereferenceObject(PVOID Object)
{
    LONG_PTR left = ob_reference_count(Object) - 1;
    ob_dereference(Object);
    return left;
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation)
{
    if (!Object)
        return STATUS_INVALID_PARAMETER;
    *Object = nullptr;
    // A caller in user mode never gets at the kernel's own handles.
    if (AccessMode == UserMode && is_kernel_handle(Handle))
        return STATUS_INVALID_HANDLE;
    void* body = nullptr;
    ACCESS_MASK granted = 0;
    object_kind kind{};
    NTSTATUS status = ob_reference_any_by_handle(Handle, &body, &granted, &kind);
    if (!NT_SUCCESS(status))
        return status;
    object_kind wanted{};
    if (ObjectType && (!ob_kind_of_type(ObjectType, &wanted) || wanted != kind)) {
        ob_dereference(body);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    // Kernel-mode callers are trusted with any access; user-mode ones get what the handle grants.
    if (AccessMode == UserMode && (DesiredAccess & ~granted) != 0 &&
        !(DesiredAccess & MAXIMUM_ALLOWED)) {
        ob_dereference(body);
        return STATUS_ACCESS_DENIED;
    }
    if (HandleInformation) {
        HandleInformation->GrantedAccess = granted;
        HandleInformation->HandleAttributes = 0;
    }
    *Object = body;
    return STATUS_SUCCESS;
}

NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess,
                                    POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode)
{
    if (!ob_is_object(Object))
        return STATUS_INVALID_PARAMETER;
    object_kind wanted{};
    if (ObjectType && (!ob_kind_of_type(ObjectType, &wanted) || wanted != ob_kind(Object)))
        return STATUS_OBJECT_TYPE_MISMATCH;
    ob_reference(Object);
    return STATUS_SUCCESS;
}

// Object types: one static descriptor per kind; the exported pointers point at their pointers.
struct _OBJECT_TYPE {
    object_kind kind;
};

namespace {
_OBJECT_TYPE file_type{object_kind::file};
_OBJECT_TYPE event_type{object_kind::event};
_OBJECT_TYPE thread_type{object_kind::thread};
_OBJECT_TYPE process_type{object_kind::process};
_OBJECT_TYPE device_type{object_kind::device};
_OBJECT_TYPE driver_type{object_kind::driver};
POBJECT_TYPE file_type_ptr = &file_type;
POBJECT_TYPE event_type_ptr = &event_type;
POBJECT_TYPE thread_type_ptr = &thread_type;
POBJECT_TYPE process_type_ptr = &process_type;
POBJECT_TYPE device_type_ptr = &device_type;
POBJECT_TYPE driver_type_ptr = &driver_type;
} // namespace

POBJECT_TYPE* IoFileObjectType = &file_type_ptr;
POBJECT_TYPE* ExEventObjectType = &event_type_ptr;
POBJECT_TYPE* PsThreadType = &thread_type_ptr;
POBJECT_TYPE* PsProcessType = &process_type_ptr;
POBJECT_TYPE* IoDeviceObjectType = &device_type_ptr;
POBJECT_TYPE* IoDriverObjectType = &driver_type_ptr;

bool ntos::detail::ob_kind_of_type(POBJECT_TYPE type, object_kind* kind)
{
    for (POBJECT_TYPE known :
         {&file_type, &event_type, &thread_type, &process_type, &device_type, &driver_type}) {
        if (type == known) {
            *kind = known->kind;
            return true;
        }
    }
    return false;
}
