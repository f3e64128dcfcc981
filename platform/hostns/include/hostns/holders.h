// Which processes keep a host folder busy: a file open under it, a working or root directory in
// it, or a file of it mapped. The service names them when a dismount is refused; the manager
// lists them with its force question. Both see only the processes their /proc lets them read.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace hostns {

enum class hold_kind {
    working_directory, // the working or root directory is in the folder
    open_file,         // a descriptor names a file or folder in it
    mapping,           // a file of it is mapped
};

struct holder {
    pid_t pid = 0;
    std::string name; // the command name (comm)
    hold_kind how = hold_kind::open_file;
    std::string path; // what is held, as a host path
};

// Every process under `proc_root` that holds something in `folder` (canonical, no trailing
// slash), in pid order, each once with its first hold found: working directory, then open files,
// then mappings. Paths of files whose mount went away count without their " (deleted)" mark.
std::vector<holder> find_holders(const std::string& folder, const std::string& proc_root = "/proc");

} // namespace hostns
