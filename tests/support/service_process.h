// The zelvirdk service host run as a child process over a runtime and a state folder of the
// test's, with its output in a log file; and the host-side helpers the service tests share.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace lockbin_test {

// The whole content of a file ("" when it cannot be read).
std::string read_text(const std::string& path);

// Mount points under `prefix`, deepest first, each with its device's minor number (for FUSE, the
// connection number under /sys/fs/fuse/connections).
std::vector<std::pair<std::string, unsigned>> mounts_under(const std::string& prefix);

// "C:\..." of a host path: C: is the host's root.
std::u16string dos_path(const std::string& host);

struct service_options {
    std::string program;        // the service host binary of this build
    std::string runtime, state; // LOCKBIN_ROOT and LOCKBIN_STATE of the child ("" inherits)
    std::string log;            // its standard output and error
    std::vector<std::string> args;
    bool default_drives = false; // drop LOCKBIN_DRIVES: drives under the runtime folder
};

class service_process {
public:
    service_process() = default;
    ~service_process() { kill(); }
    service_process(const service_process&) = delete;
    service_process& operator=(const service_process&) = delete;

    // Forks and runs the host; false when the process could not be made.
    bool start(const service_options& options);
    // Waits until `text` is in the log; false when the time is up or the service has ended.
    bool wait_for(const std::string& text, std::chrono::milliseconds limit);
    std::string log() const { return read_text(options_.log); }
    // The running child (-1 once it has ended and been reaped).
    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }

    // SIGTERM, then the exit status (128 + signal when killed by one), or -1 when the service
    // is still there after `limit`.
    int stop(std::chrono::milliseconds limit);
    // Whether the child ended within `limit`, and its status (as stop()); also after wait_for
    // saw it end.
    bool wait_exit(std::chrono::milliseconds limit, int* status);
    // SIGKILL after aborting its FUSE connections (a request stuck in the disk bridge would
    // hold it), and nothing left mounted under the runtime folder.
    void kill();

private:
    bool reaped();

    service_options options_;
    pid_t pid_ = -1;
    int status_ = -1;
};

} // namespace lockbin_test
