#include "update_app.h"

#include "update_check.h"

CUpdateApp::CUpdateApp(UpdateConfig config) : config_(std::move(config)) {}

CUpdateApp::~CUpdateApp()
{
    if (mutex_)
        CloseHandle(mutex_);
}

int CUpdateApp::Run()
{
    // The handle is kept until the program ends: while it is open, other copies find the name.
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kUpdateMutexName);
    if (!mutex)
        return 0;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return 0;
    }
    mutex_ = mutex;
    const uint32_t latest = config_.latestVersion ? config_.latestVersion() : 0;
    if (latest <= kInstalledVersion)
        return 0;
    ShowDialog();
    return 0;
}

int CUpdateApp::ShowDialog()
{
    CUpdateDlg dialog(config_);
    return dialog.DoModal();
}
