// What the shell notifications and window broadcasts of this process said, in call order, for
// tests. Not a platform interface.
#pragma once

#include "windef.h"

#include <string>
#include <vector>

namespace win32 {

struct ShellNotification {
    LONG event;           // SHCNE_*
    UINT flags;           // SHCNF_*
    std::u16string item1; // the first item's text when flags name a wide path, else empty
    std::u16string item2;
};

struct BroadcastMessage {
    HWND window;
    UINT message;
    WPARAM wparam;
    std::vector<BYTE> record; // the DEV_BROADCAST_* record lParam pointed at (dbch_size bytes)
    UINT flags;
    UINT timeout;
};

std::vector<ShellNotification> recorded_shell_notifications();
std::vector<BroadcastMessage> recorded_broadcasts();
void clear_recorded_notifications();

} // namespace win32
