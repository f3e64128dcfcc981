// The bridge between DOS paths and the host's own, for what the desktop does by host path: its
// file pickers, its file manager, its browser. Not a platform interface: the layer's own.
#pragma once

#include <string>
#include <string_view>

// The host path of a DOS path ("D:\Lockbin" -> "/home/ann/Lockbin"); "" when it cannot be
// resolved (no such drive, a volume without a file system, a malformed path).
std::string DosPathToHostPath(std::u16string_view dos_path);

// The DOS path of an absolute host path: the drive whose host folder holds it most closely
// ("/home/ann/x" -> "D:\x" when D: is /home/ann, else "C:\home\ann\x"). "" for a relative path
// or one that no drive holds. Symbolic links in the path and in the drives' folders are
// resolved first where they exist.
std::u16string HostPathToDosPath(std::string_view host_path);
