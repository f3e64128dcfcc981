// Showing a file in the desktop's file manager, the host's form of "explorer /select,<path>".
// Not a platform interface of its own: the shell's "explorer /select," lands here.
#pragma once

#include "windef.h"

#include <string>

namespace win32 {

// Opens the file's folder in the desktop's file manager with the file selected: the session
// bus's org.freedesktop.FileManager1 ShowItems where a file manager offers it (running or
// activatable), else the folder opened with xdg-open. Returns at once (the desktop is asked on a
// thread of its own); false only when the path does not resolve to a host file. Whether the
// desktop did show it is not known.
bool ShowFileSelected(LPCWSTR lpFilePath);

namespace detail {
enum class ShownBy { file_manager, folder_opened, nothing };
// The same for a host path, waiting for the helper programs; says which way was taken.
ShownBy show_file_selected(const std::string& host_path);
// "file://" and the path percent-encoded (all but unreserved characters and '/').
std::string file_uri(const std::string& host_path);
} // namespace detail

} // namespace win32
