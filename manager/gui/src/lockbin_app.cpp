#include "gui/lockbin_app.h"

#include "gui/main_dlg.h"
#include "gui/message_box.h"

#include "disk_helpers.h"
#include "redav_client.h"
#include "vault_catalogue.h"

#include <cstring>

std::function<int(QWidget* owner)> g_RunCreateVaultDialog;

bool HasCreateDefaultSwitch(const char16_t* commandLine)
{
    // The platform's zero-filled 260-character copy, at most 259 of them.
    char16_t copy[260] = {};
    for (size_t i = 0; i < 259 && commandLine[i]; ++i)
        copy[i] = commandLine[i];
    const char16_t* last = nullptr;
    for (const char16_t* p = copy; *p; ++p)
        if (*p == u'/')
            last = p;
    return last && std::u16string_view(last) == kCreateDefaultSwitch;
}

bool CLockbinApp::InitInstance()
{
    // The updater first, before any check; whatever becomes of it changes nothing here.
    ShellExecuteW(nullptr, u"runas", u"update.exe", nullptr, nullptr, SW_SHOWNORMAL);

    if (!g_RedAvClient.IsDriverPresent()) {
        gui::MessageBox(nullptr, u"保险箱驱动不存在!", nullptr, MB_OK | MB_ICONERROR);
        return false;
    }
    if (!g_VaultCatalogue.LoadConfig(kConfigFileName)) {
        gui::MessageBox(nullptr, u"配置文件读取失败!", nullptr, MB_OK | MB_ICONERROR);
        return false;
    }
    if (g_VaultCatalogue.DefaultPath.empty()) {
        g_VaultCatalogue.DefaultPath = std::u16string(1, ChooseDefaultDisk()) + u":\\Lockbin";
        CreateDirectoryTree(g_VaultCatalogue.DefaultPath);
    }

    const std::u16string line =
        commandLine.empty() ? std::u16string(GetCommandLineW()) : commandLine;
    if (HasCreateDefaultSwitch(line.c_str()) && g_RunCreateVaultDialog) {
        if (g_RunCreateVaultDialog(nullptr) == IDCANCEL)
            return false;
    }

    m_hMutex = CreateMutexW(nullptr, FALSE, kLockbinMutexName);
    if (!m_hMutex)
        return false;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (HWND running = FindWindowW(nullptr, gui::kMainWindowTitle))
            SetForegroundWindow(running);
        return false;
    }

    CMainDlg dlg(withNews);
    if (onMainWindow)
        onMainWindow(dlg);
    dlg.DoModal();
    return false;
}

int CLockbinApp::ExitInstance()
{
    if (m_hMutex) {
        CloseHandle(m_hMutex);
        m_hMutex = nullptr;
    }
    return 0;
}
