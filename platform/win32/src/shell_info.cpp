// SHGetFileInfoW for drive roots: the system icon index and the shell's type name.
#include "errhandlingapi.h"
#include "fileapi.h"
#include "shellapi.h"
#include "winerror.h"

#include <cstring>

namespace {

// A handle for the system small-icon list; its icons live with the program's windows.
char g_system_small_icons;

struct DriveKind {
    UINT type;
    int icon;
    const char16_t* name;
};
constexpr DriveKind kDriveKinds[] = {
    {DRIVE_FIXED, SHELL_ICON_FIXED, u"本地磁盘"},
    {DRIVE_REMOVABLE, SHELL_ICON_REMOVABLE, u"可移动磁盘"},
    {DRIVE_CDROM, SHELL_ICON_CDROM, u"CD 驱动器"},
    {DRIVE_REMOTE, SHELL_ICON_REMOTE, u"网络驱动器"},
};

bool is_drive_root(const char16_t* path)
{
    const char16_t c = path[0] & ~0x20;
    return c >= u'A' && c <= u'Z' && path[1] == u':' && path[2] == u'\\' && path[3] == 0;
}

} // namespace

DWORD_PTR WINAPI SHGetFileInfoW(LPCWSTR pszPath, DWORD, SHFILEINFOW* psfi, UINT cbFileInfo,
                                UINT uFlags)
{
    const auto list = reinterpret_cast<DWORD_PTR>(&g_system_small_icons);
    if (!pszPath || (psfi && cbFileInfo < sizeof(SHFILEINFOW))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!pszPath[0])
        return (uFlags & SHGFI_SYSICONINDEX) ? list : 0;
    if (!is_drive_root(pszPath)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    const UINT type = GetDriveTypeW(pszPath);
    for (const DriveKind& kind : kDriveKinds) {
        if (kind.type != type)
            continue;
        if (psfi) {
            std::memset(psfi, 0, sizeof *psfi);
            psfi->iIcon = kind.icon;
            if (uFlags & SHGFI_TYPENAME)
                std::memcpy(psfi->szTypeName, kind.name,
                            std::char_traits<char16_t>::length(kind.name) * sizeof(char16_t));
        }
        return (uFlags & SHGFI_SYSICONINDEX) ? list : 1;
    }
    SetLastError(ERROR_PATH_NOT_FOUND);
    return 0;
}
