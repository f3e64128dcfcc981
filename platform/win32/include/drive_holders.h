// Which processes keep a drive busy: the manager asks before it offers a forced dismount, so the
// user can close them instead. Not a platform call of its own; the platform shows the same facts
// in its resource monitor.
#pragma once

#include "windef.h"

#include <string>
#include <vector>

enum class DriveHoldKind {
    WorkingDirectory, // the process's working or root directory is on the drive
    OpenFile,         // a file or folder on the drive is open
    Mapping,          // a file on the drive is mapped into the process
};

struct DriveHolder {
    DWORD pid = 0;
    std::u16string name; // the process's command name
    DriveHoldKind how = DriveHoldKind::OpenFile;
    std::u16string path; // what it holds, as a path on the drive ("Z:\notes.txt")
};

// Every process the caller may inspect that holds something under the drive's mount point, in
// process-id order, each once with the first hold found (working directory, then open files,
// then mappings). Processes of other users are invisible to an unprivileged caller. Empty when
// the drive has no files visible on this host.
std::vector<DriveHolder> GetDriveHolders(WCHAR letter);

// The host folder (canonical) where the drive's files are visible, such as a vault's mount
// point; empty when the drive is undefined or shows no files on this host.
std::string DriveHostFolder(WCHAR letter);
