// Publishing a new or removed drive: the shell, the top-level windows, the user's session.
#include "redav_client.h"

#include "dbt.h"
#include "shlobj.h"
#include "winuser.h"

#include <string>

void RedAvClient::NotifyVolumeChange(WCHAR letter, bool arrival, bool cdrom) const
{
    WCHAR upper = (letter >= u'a' && letter <= u'z') ? WCHAR(letter - 32) : letter;
    WCHAR root[] = {letter, u':', u'\\', 0};

    SHChangeNotify(arrival ? SHCNE_DRIVEADD : SHCNE_DRIVEREMOVED, SHCNF_PATHW, root, nullptr);

    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_reserved = 0;
    // Masked so that a code unit outside A-Z cannot shift past the mask's width.
    volume.dbcv_unitmask = DWORD(1) << ((upper - u'A') & 31);
    volume.dbcv_flags = 0;
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE,
                        arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
                        reinterpret_cast<LPARAM>(&volume), SMTO_ABORTIFHUNG, 200, &result);

    root[2] = 0; // "X:"
    if (arrival) {
        std::u16string target = cdrom ? u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskCd"
                                      : u"\\Device\\ZELVirtualDisk\\ZELVirtualDisk";
        target += upper;
        DefineDosDeviceW(DDD_RAW_TARGET_PATH, root, target.c_str());
    } else {
        DefineDosDeviceW(DDD_REMOVE_DEFINITION, root, nullptr);
    }
}
