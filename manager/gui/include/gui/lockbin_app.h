// CLockbinApp: the manager's start-up. InitInstance does every start-up step and then runs the
// main window modally; it always returns false, so the program ends when it returns.
#pragma once

#include "windows.h"

#include <functional>

#include <string>

class CMainDlg;
class QWidget;

inline constexpr char16_t kLockbinMutexName[] = u"ZELIII_MutexLockbinL";
inline constexpr char16_t kCreateDefaultSwitch[] = u"/CreateDefault";

// True when the last "/" within the first 259 characters of the command line starts exactly
// "/CreateDefault" (case-sensitive, nothing after it in those 259 characters).
bool HasCreateDefaultSwitch(const char16_t* commandLine);

class CLockbinApp {
public:
    bool InitInstance();
    // Closes the mutex handle if there is one; the program's exit code (0).
    int ExitInstance();

    HANDLE m_hMutex = nullptr;

    // The command line start-up looks at; GetCommandLineW() unless set (tests).
    std::u16string commandLine;
    // Create the news window with the main window (off only for tests and the benchmark).
    bool withNews = true;
    // Called with the main window just before it runs (tests drive it from here).
    std::function<void(CMainDlg&)> onMainWindow;
};

// The create-vault dialog (CDlgNew) run modally with no owner for "/CreateDefault", and by the
// main window's "新建"; empty until that dialog lands, and then the switch is ignored.
extern std::function<int(QWidget* owner)> g_RunCreateVaultDialog;
