// DOS paths to host paths, and host failures to Windows error codes.
#pragma once

#include "windef.h"

#include "hostns/hostns.h"

#include <string>

namespace win32::detail {

// The caller's view of the DOS device namespace under the current $LOCKBIN_ROOT. The first use
// for a root writes the session's folder drives (D: is the home folder), so that the service sees
// them too; if the root cannot be written, the layer still resolves from what is published.
hostns::Namespace name_space();

struct HostPath {
    DWORD error = 0;  // ERROR_SUCCESS, or why the path cannot be resolved
    std::string path; // the host path (relative when the DOS path was)
};

enum class Wildcards { refuse, allow_in_last };

// Resolves a DOS path (see fileapi.h). Components holding characters no Windows file name may
// hold fail with ERROR_INVALID_NAME; '*' and '?' pass in the last component when allowed.
HostPath resolve_path(LPCWSTR dos_path, Wildcards wildcards = Wildcards::refuse);

// The Windows error for a host errno. ENOENT becomes ERROR_FILE_NOT_FOUND, or
// ERROR_PATH_NOT_FOUND when the folder that should hold `host_path` is missing too.
DWORD error_from_errno(int error, const std::string& host_path = {});

// Sets the last error and returns FALSE, for the common failure exit.
BOOL fail(DWORD error);

// True if an open handle of either layer keeps others from deleting (or renaming) the file.
bool in_use_against_delete(const std::string& host_path);

// True when `text` starts with "\\.\" (or "//./"), the device namespace.
bool is_device_path(LPCWSTR text);

} // namespace win32::detail
