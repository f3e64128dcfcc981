#include "windows.h"

#include "dbt.h"
#include "notify_record.h"
#include "shlobj.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(Notifications, ShellAndBroadcastCallsAreRecordedInOrder)
{
    win32::clear_recorded_notifications();
    SHChangeNotify(SHCNE_DRIVEADD, SHCNF_PATHW, u"Z:\\", nullptr);
    DEV_BROADCAST_VOLUME v{sizeof v, DBT_DEVTYP_VOLUME, 0, 1u << 25, 0};
    DWORD_PTR result = 0;
    EXPECT_NE(SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                                  reinterpret_cast<LPARAM>(&v), SMTO_ABORTIFHUNG, 200, &result),
              0);
    SHChangeNotify(SHCNE_DRIVEREMOVED, SHCNF_IDLIST, &v, nullptr);

    auto shell = win32::recorded_shell_notifications();
    ASSERT_EQ(shell.size(), 2u);
    EXPECT_EQ(shell[0].event, SHCNE_DRIVEADD);
    EXPECT_EQ(shell[0].item1, u"Z:\\");
    EXPECT_EQ(shell[1].item1, u"") << "only wide paths are read as text";

    auto sent = win32::recorded_broadcasts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].message, UINT(WM_DEVICECHANGE));
    EXPECT_EQ(sent[0].wparam, WPARAM(DBT_DEVICEARRIVAL));
    EXPECT_EQ(sent[0].flags, UINT(SMTO_ABORTIFHUNG));
    EXPECT_EQ(sent[0].timeout, 200u);
    ASSERT_EQ(sent[0].record.size(), 20u);
    DEV_BROADCAST_VOLUME back;
    std::memcpy(&back, sent[0].record.data(), sizeof back);
    EXPECT_EQ(back.dbcv_unitmask, 1u << 25);

    EXPECT_EQ(
        SendMessageTimeoutW(reinterpret_cast<HWND>(0x1234), WM_DEVICECHANGE, 0, 0, 0, 0, nullptr),
        0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
    win32::clear_recorded_notifications();
    EXPECT_TRUE(win32::recorded_broadcasts().empty());
}

} // namespace
