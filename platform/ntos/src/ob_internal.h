// Object manager internals shared by the layer's modules (not visible to the driver).
//
// Every object the layer hands out (device, driver, file, key, thread, process, event, directory,
// symbolic link, token) is a body allocated by ob_create_object behind a hidden header that holds
// its kind, its reference and handle counts, its name and its destructor. Handles name a body plus
// the access granted; a handle holds one reference. Kernel handles (OBJ_KERNEL_HANDLE) and the
// handles of client processes live in one table here, tagged with the owning process: a
// non-kernel handle is valid only in the process that opened it.
//
// The namespace is case-insensitive. A named object sits in its parent directory, which holds one
// reference to it. The name goes (and that reference with it) when the last handle closes, unless
// the object is permanent (OBJ_PERMANENT, ZwMakeTemporaryObject clears it), or at once through
// ob_remove_name (IoDeleteDevice, IoDeleteSymbolicLink).
//
// "\??" is the caller's view: a component after it is looked up in the caller's session
// directory first (see ob_set_session_resolver), then in "\GLOBAL??". "\DosDevices" is a link to
// "\??" and "\GLOBAL??\Global" a link to "\GLOBAL??".
#pragma once

#include <ntifs.h>

#include <string>
#include <vector>

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
    mutant,
};

using object_destructor = void (*)(void* body);

// New object with one reference owned by the caller; body is zero-filled and 16-byte aligned.
// destroy (may be null) runs once, when the last reference goes, before the memory is freed.
void* ob_create_object(object_kind kind, size_t body_size, object_destructor destroy);
void ob_reference(void* body);
// Runs the destructor and frees the body when the last reference goes.
void ob_dereference(void* body);
object_kind ob_kind(const void* body);
// Runs on_last_handle when the object's handle count drops to zero (a file's IRP_MJ_CLEANUP).
void ob_set_close_procedure(void* body, object_destructor on_last_handle);
// True when body is a live object of the layer (used to validate pointers callers pass in).
bool ob_is_object(const void* body);
LONG ob_reference_count(const void* body);
LONG ob_handle_count(const void* body);

// Inserts a handle that takes its own reference on body. OBJ_KERNEL_HANDLE in attributes makes a
// kernel handle; otherwise the handle belongs to the current process.
NTSTATUS ob_insert_handle(void* body, ACCESS_MASK granted, ULONG attributes, PHANDLE handle);
// Looks a handle up and adds a reference for the caller; STATUS_INVALID_HANDLE for unknown
// handles (or another process's), STATUS_OBJECT_TYPE_MISMATCH when the kind differs.
NTSTATUS ob_reference_by_handle(HANDLE handle, object_kind kind, void** body, ACCESS_MASK* granted);
// Same without a kind check; *kind receives the object's kind.
NTSTATUS ob_reference_any_by_handle(HANDLE handle, void** body, ACCESS_MASK* granted,
                                    object_kind* kind);
NTSTATUS ob_close_handle(HANDLE handle);
// Closes every handle a process still holds (a client disconnects).
void ob_close_process_handles(PEPROCESS process);

// Walks the namespace from the root (or from root_directory) following symbolic links and
// the caller's session for \??; stops at the first object that is not a directory or a link
// (a device) and returns it referenced, with the rest of the path (leading backslash kept, empty
// when the path named the object itself). open_link: a link that is the last component is
// returned itself instead of being followed. Statuses: STATUS_OBJECT_NAME_NOT_FOUND (last
// component missing), STATUS_OBJECT_PATH_NOT_FOUND (a middle one), STATUS_OBJECT_NAME_INVALID
// (not absolute without a root, empty components), STATUS_INVALID_HANDLE (bad root).
// The UNICODE_STRING form allocates remaining->Buffer from paged pool (null when empty); free it
// with RtlFreeUnicodeString.
NTSTATUS ob_lookup_path(HANDLE root_directory, PCUNICODE_STRING path, void** body,
                        UNICODE_STRING* remaining, bool open_link);
NTSTATUS ob_lookup_path(HANDLE root_directory, const std::u16string& path, void** body,
                        std::u16string* remaining, bool open_link);

// Gives body the name path (absolute, or relative to root_directory); its parent directory must
// exist (links are followed to reach it). OBJ_PERMANENT keeps the name past the last handle.
// STATUS_OBJECT_NAME_COLLISION when the name is taken; with OBJ_OPENIF the existing object is
// returned referenced in *existing and STATUS_OBJECT_NAME_EXISTS returned instead.
NTSTATUS ob_insert_name(void* body, HANDLE root_directory, const std::u16string& path,
                        ULONG attributes, void** existing);
// Takes the name away now (no-op for unnamed objects).
void ob_remove_name(void* body);
// Full name ("\Device\X"), empty for unnamed objects.
std::u16string ob_full_name(const void* body);
void ob_set_permanent(void* body, bool permanent);

// Session view of \??: the resolver returns the caller's session DosDevices directory,
// referenced, or null when the caller has no session (system threads). Plugged in by the host.
using session_resolver = void* (*)();
void ob_set_session_resolver(session_resolver resolver);

// Creates the directory at path (relative to root when root is given; empty: unnamed), returning
// it referenced. With OBJ_OPENIF an existing directory is opened instead and
// STATUS_OBJECT_NAME_EXISTS returned; otherwise an existing name is STATUS_OBJECT_NAME_COLLISION.
NTSTATUS ob_create_directory(HANDLE root, const std::u16string& path, ULONG attributes,
                             void** directory);
// Entries of a directory as (name, kind), for bridges that publish a directory.
struct directory_entry {
    std::u16string name;
    object_kind kind;
};
NTSTATUS ob_list_directory(const std::u16string& path, std::vector<directory_entry>* entries);

// Symbolic links: a new link named name (attributes as for ob_insert_name) to the absolute
// target, returned referenced; and the target text of a link body.
NTSTATUS ob_create_link(const std::u16string& name, HANDLE root, const std::u16string& target,
                        ULONG attributes, void** link);
std::u16string ob_link_target(const void* link);

// Text of a counted string; false when it is malformed (odd length, length over the maximum,
// no buffer).
bool ob_string(PCUNICODE_STRING string, std::u16string* text);

// Watchers of the links directly in \GLOBAL?? (bridges publishing R/GLOBAL??). Called after the
// change, outside the namespace lock, with the link's name (no directory) and target. Existing
// links are not replayed; use ob_list_directory for them. Returns an id for removal.
using link_watcher = void (*)(void* context, bool added, const std::u16string& name,
                              const std::u16string& target);
int ob_add_link_watcher(link_watcher watcher, void* context);
void ob_remove_link_watcher(int id);

// Upper-cases as the namespace compares names.
std::u16string ob_upcase(const std::u16string& text);

// Object types behind the exported POBJECT_TYPE pointers; false for null or unknown types.
bool ob_kind_of_type(POBJECT_TYPE type, object_kind* kind);

} // namespace ntos::detail
