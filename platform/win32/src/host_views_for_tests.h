// Test-only: where the layer reads the host's block devices and mount table. Tests point it at
// a fake sysfs tree and mount table to show a removable disk this machine does not have.
#pragma once

#include <string>

namespace win32::detail {

// An empty argument restores the host's own (/sys/class/block, /proc/self/mountinfo).
void set_host_views_for_tests(const std::string& sys_block, const std::string& mount_table);

} // namespace win32::detail
