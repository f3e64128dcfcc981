// The user's session folder for named objects (mutexes, the window registry): the layer's own
// folder under $XDG_RUNTIME_DIR, else /tmp/lockbin-UID. It must be a real folder of the caller,
// mode 0700; anything else (a link, another owner) is refused, so another user cannot plant names.
#pragma once

#include "windef.h"

#include <string>

namespace win32::detail {

// The folder (created when missing), or "" with *error set (a Windows error code).
std::string session_objects_dir(DWORD* error);

// A named object's name as a file name: "Local\" and "Global\" prefixes dropped; "" for a name
// that no object may have (empty, '\' or '/' left, too long).
std::string object_file_name(LPCWSTR name);

} // namespace win32::detail
