// Shell notifications and window broadcasts: recorded, since nothing on the host listens.
#include "dbt.h"
#include "errhandlingapi.h"
#include "notify_record.h"
#include "shlobj.h"
#include "winerror.h"
#include "winuser.h"

#include <cstring>
#include <mutex>

namespace {

struct Records {
    std::mutex lock;
    std::vector<win32::ShellNotification> shell;
    std::vector<win32::BroadcastMessage> broadcasts;
};

Records& records()
{
    static Records r;
    return r;
}

std::u16string item_text(UINT flags, LPCVOID item)
{
    if (!item || (flags & SHCNF_TYPE) != SHCNF_PATHW)
        return {};
    return std::u16string(static_cast<const char16_t*>(item));
}

} // namespace

VOID WINAPI SHChangeNotify(LONG wEventId, UINT uFlags, LPCVOID dwItem1, LPCVOID dwItem2)
{
    Records& r = records();
    std::lock_guard guard(r.lock);
    r.shell.push_back({wEventId, uFlags, item_text(uFlags, dwItem1), item_text(uFlags, dwItem2)});
}

LRESULT WINAPI SendMessageTimeoutW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam, UINT fuFlags,
                                   UINT uTimeout, PDWORD_PTR lpdwResult)
{
    if (hWnd != HWND_BROADCAST) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    win32::BroadcastMessage m{hWnd, Msg, wParam, {}, fuFlags, uTimeout};
    if (Msg == WM_DEVICECHANGE && lParam) {
        auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
        // The record says its own size; anything shorter than a header is not a record.
        if (header->dbch_size >= sizeof(DEV_BROADCAST_HDR) && header->dbch_size <= 4096) {
            m.record.resize(header->dbch_size);
            std::memcpy(m.record.data(), header, header->dbch_size);
        }
    }
    {
        Records& r = records();
        std::lock_guard guard(r.lock);
        r.broadcasts.push_back(std::move(m));
    }
    if (lpdwResult)
        *lpdwResult = TRUE;
    return 1;
}

namespace win32 {

std::vector<ShellNotification> recorded_shell_notifications()
{
    Records& r = records();
    std::lock_guard guard(r.lock);
    return r.shell;
}

std::vector<BroadcastMessage> recorded_broadcasts()
{
    Records& r = records();
    std::lock_guard guard(r.lock);
    return r.broadcasts;
}

void clear_recorded_notifications()
{
    Records& r = records();
    std::lock_guard guard(r.lock);
    r.shell.clear();
    r.broadcasts.clear();
}

} // namespace win32
