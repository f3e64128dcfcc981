// The updater's start: one copy at a time, and a window only when a newer version exists.
#pragma once

#include "update_dlg.h"

#include "windows.h"

class CUpdateApp {
public:
    explicit CUpdateApp(UpdateConfig config);
    virtual ~CUpdateApp();
    CUpdateApp(const CUpdateApp&) = delete;
    CUpdateApp& operator=(const CUpdateApp&) = delete;

    // Takes the mutex "MutexLockbin" (a second copy ends at once), asks for the latest version
    // (2000 or less ends without a window) and runs the window modally. The program's exit code.
    int Run();

protected:
    virtual int ShowDialog();

    UpdateConfig config_;

private:
    HANDLE mutex_ = nullptr;
};
