// Host programs that the layer runs on behalf of a call (mkntfs for a format, gdbus and xdg-open
// for the file manager).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace win32::detail {

// The first executable file `name` in `folders`, then in $PATH; empty when there is none.
std::string find_program(const std::string& name, const std::vector<std::string>& folders = {});

struct Child {
    pid_t pid = -1;  // -1 when the program could not be started
    int output = -1; // read end of its merged stdout and stderr when captured, else -1
};

// Starts argv (argv[0] a full path) with stdin from /dev/null and its stdout and stderr merged
// into a pipe (capture) or sent to /dev/null. The environment is the caller's with each
// "NAME=value" of `overrides` put in place of NAME. No descriptor of the caller leaks into it.
Child spawn(const std::vector<std::string>& argv, bool capture,
            const std::vector<std::string>& overrides = {});

// Waits for the child and returns its exit code, or -1 when it was killed by a signal.
int wait_child(pid_t pid);

// Runs a program to its end: its exit code (-1 when it could not start or was killed) and, when
// `output` is given, what it printed.
int run_program(const std::vector<std::string>& argv, std::string* output = nullptr,
                const std::vector<std::string>& overrides = {});

} // namespace win32::detail
