// The main window's vault commands and its three buttons' dialogs.
#include "gui/vault_dialogs.h"

#include "gui/lockbin_app.h"
#include "gui/main_dlg.h"
#include "gui/vault_ui.h"

#include "shellapi.h"
#include "winuser.h"

namespace gui {

namespace {

// The drive in the file manager, as "%c:\" opened by the shell; its result is not looked at.
void show_drive(WCHAR letter)
{
    const WCHAR root[] = {letter, u':', u'\\', 0};
    ShellExecuteW(nullptr, u"open", root, nullptr, nullptr, SW_SHOWNORMAL);
}

bool finish(QWidget* window, const Outcome& outcome)
{
    ShowOutcome(window, outcome, Caption::application);
    return outcome.refresh;
}

} // namespace

bool OpenVaultCommand(QWidget* window, const std::u16string& name)
{
    const PasswordFn askPassword =
        [window](const VaultRecord& vault) -> std::optional<std::u16string> {
        CDlgOpen dlg(vault.Name, vault.Path, window);
        if (dlg.DoModal() != IDOK)
            return std::nullopt;
        return dlg.Password();
    };
    const Outcome outcome = OpenVault(g_VaultCatalogue, g_RedAvClient, name, askPassword);
    if (outcome.result == OpResult::Done && outcome.letter)
        show_drive(outcome.letter);
    return finish(window, outcome);
}

bool CloseVaultCommand(QWidget* window, const std::u16string& name)
{
    return finish(window, CloseVault(g_VaultCatalogue, g_RedAvClient, name,
                                     AskWithMessageBox(window, Caption::application)));
}

bool PropertiesCommand(QWidget* window, const std::u16string& name)
{
    PropertiesView view;
    if (LoadVaultProperties(g_VaultCatalogue, g_RedAvClient, name, view).result != OpResult::Done)
        return false;
    CDlgProperty dlg(std::move(view), window);
    return dlg.DoModal() != 0;
}

bool DeleteVaultCommand(QWidget* window, const std::u16string& name)
{
    return finish(window, DeleteVault(g_VaultCatalogue, g_RedAvClient, name,
                                      AskWithMessageBox(window, Caption::application)));
}

bool DestroyVaultCommand(QWidget* window, const std::u16string& name)
{
    return finish(window, DestroyVault(g_VaultCatalogue, g_RedAvClient, name,
                                       AskWithMessageBox(window, Caption::application)));
}

int RunNewVaultDialog(QWidget* owner)
{
    CDlgNew dlg(owner);
    return dlg.DoModal();
}

int RunImportDialog(QWidget* owner)
{
    CDlgImport dlg(owner);
    return dlg.DoModal();
}

int RunSettingDialog(QWidget* owner)
{
    CDlgSetting dlg(owner);
    return dlg.DoModal();
}

void InstallVaultDialogs()
{
    using Command = bool (*)(QWidget*, const std::u16string&);
    auto on_window = [](Command command) {
        return [command](CMainDlg& window, const std::u16string& name) {
            return command(&window, name);
        };
    };
    g_MainDlgOperations.newVault = RunNewVaultDialog;
    g_MainDlgOperations.importVault = RunImportDialog;
    g_MainDlgOperations.settings = RunSettingDialog;
    g_MainDlgOperations.open = on_window(OpenVaultCommand);
    g_MainDlgOperations.close = on_window(CloseVaultCommand);
    g_MainDlgOperations.properties = on_window(PropertiesCommand);
    g_MainDlgOperations.deleteVault = on_window(DeleteVaultCommand);
    g_MainDlgOperations.destroyVault = on_window(DestroyVaultCommand);
    g_RunCreateVaultDialog = RunNewVaultDialog;
}

} // namespace gui
