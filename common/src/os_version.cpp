#include "common/os_version.h"

#include <string.h>

namespace detail {

void capture_os_version(OSVERSIONINFOEXW& info, get_version_fn get_version)
{
    memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    if (!get_version(reinterpret_cast<LPOSVERSIONINFOW>(&info))) {
        memset(&info, 0, sizeof(info));
        return;
    }
    // The extended record exists only on NT from version 5 on; older systems reject its size.
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion > 4) {
        memset(&info, 0, sizeof(info));
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
        if (!get_version(reinterpret_cast<LPOSVERSIONINFOW>(&info))) {
            memset(&info, 0, sizeof(info));
        }
    }
}

namespace {
// Captured ahead of ordinary static initialisers, so that code running from those sees it.
OSVERSIONINFOEXW captured_version;

__attribute__((constructor(101))) void capture_at_start()
{
    capture_os_version(captured_version);
}
} // namespace

} // namespace detail

const OSVERSIONINFOEXW& OsVersionInfo = detail::captured_version;

bool IsVistaOrLater(const OSVERSIONINFOEXW& info)
{
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion > 5;
}

bool IsWin81OrEarlier(const OSVERSIONINFOEXW& info)
{
    if (info.dwPlatformId != VER_PLATFORM_WIN32_NT) {
        return false;
    }
    return info.dwMajorVersion < 6 || (info.dwMajorVersion == 6 && info.dwMinorVersion <= 3);
}

bool IsVistaOrLater()
{
    return IsVistaOrLater(OsVersionInfo);
}

bool IsWin81OrEarlier()
{
    return IsWin81OrEarlier(OsVersionInfo);
}
