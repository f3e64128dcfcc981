// Where the layer meets the host: the runtime and state folders, the host drives and the
// translation between UTF-16 NT text and UTF-8 host paths.
#pragma once

#include "ps_internal.h"

#include <hostns/hostns.h>
#include <ntifs.h>

#include <string>
#include <string_view>
#include <vector>

namespace ntos::detail {

// The runtime folder R (LOCKBIN_ROOT, default /run/lockbin) and the state folder
// (LOCKBIN_STATE, default /var/lib/lockbin). Read from the environment on first use;
// host_configure_folders overrides both (the service host and tests call it before the layer
// starts). Empty arguments keep the current value.
const std::string& host_runtime_folder();
const std::string& host_state_folder();
void host_configure_folders(const std::string& runtime, const std::string& state);

// One fixed disk of the host: a drive letter ('C' to 'Z') and the host folder it shows.
struct host_drive {
    char16_t letter;
    std::string folder;
};

// The host drives: C: is "/" unless the drives file says otherwise; the file "drives" in the
// state folder adds lines of the form "E: /srv/data" (blank lines and lines starting with '#'
// are skipped; letters A and B, relative folders and malformed lines are ignored with a note on
// standard error). Sorted by letter, one entry per letter (the last line wins).
std::vector<host_drive> host_read_drives(const std::string& drives_file);

// Host names: the namespace's converter with its name policy, so that a name with a lone
// surrogate round-trips and names the same host file as in the user-mode layer.
inline std::string host_utf8(std::u16string_view text)
{
    return hostns::to_utf8(text);
}
inline std::u16string host_utf16(std::string_view text)
{
    return hostns::from_utf8(text);
}

// The Zw, registry and security services run at PASSIVE_LEVEL only; checked builds abort on a
// call at a raised IRQL (a caller holding a spin lock), as the platform bug-checks.
inline void host_passive_only(const char* routine)
{
    NTOS_CHECK(KeGetCurrentIrql() == PASSIVE_LEVEL, "%s called at IRQL %d", routine,
               static_cast<int>(KeGetCurrentIrql()));
    (void)routine;
}

} // namespace ntos::detail
