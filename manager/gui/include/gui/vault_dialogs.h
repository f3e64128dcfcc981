// The vault dialogs and the main window's vault commands. The dialogs gather the inputs, call
// the operation of vault_operations.h over g_VaultCatalogue and g_RedAvClient, show its outcome's
// message and move the focus to its control; they check nothing themselves.
#pragma once

#include "gui/dialog.h"

#include "format_volume.h"
#include "vault_operations.h"

#include <QTimer>

#include <string>

class QComboBox;
class QTreeWidget;

namespace gui {

// Control ids the dialogs add to those of vault_operations.h.
enum VaultDialogIds {
    IDD_NEW = 135,
    IDD_IMPORT = 136,
    IDD_SETTING = 137,
    IDD_PROPERTY = 138,
    IDD_OPEN = 142,
    IDC_DISK_LIST = 1004,
    IDC_PROGRESS = 1019,
    IDC_BROWSE = 1020,
    IDC_LETTER = 1025,
    IDC_LOAD_MODE = 1026,
    IDC_STATUS = 1038,
    IDC_LOAD_HINT = 1046,
};

// The password of a vault (template 142). No cancel button: the close box and Escape cancel.
class CDlgOpen : public CDialog {
public:
    CDlgOpen(std::u16string name, std::u16string path, QWidget* owner);
    const std::u16string& Password() const { return password_; }

protected:
    bool OnInitDialog() override;
    void OnOK() override;

private:
    std::u16string name_;
    std::u16string path_;
    std::u16string password_;
};

// The properties and import dialogs (251 x 138): their letter, load-mode and description rows
// and their buttons.
class CVaultFieldsDialog : public CDialog {
protected:
    CVaultFieldsDialog(int templateId, std::u16string_view title, QWidget* owner)
        : CDialog(templateId, 251, 138, title, owner)
    {
    }
    void AddVaultFields();

    QComboBox* letters_ = nullptr;
    QComboBox* loadModes_ = nullptr;
};

// A closed vault's letter policy, load mode and description (template 138).
class CDlgProperty : public CVaultFieldsDialog {
public:
    CDlgProperty(PropertiesView view, QWidget* owner);

protected:
    bool OnInitDialog() override;
    void OnOK() override;

private:
    PropertiesView view_;
};

// Catalogues an existing container (template 136).
class CDlgImport : public CVaultFieldsDialog {
public:
    explicit CDlgImport(QWidget* owner);
    void OnBrowse();

protected:
    bool OnInitDialog() override;
    void OnOK() override;
};

// The default folder of new vaults and the local hard disks (template 137).
class CDlgSetting : public CDialog {
public:
    explicit CDlgSetting(QWidget* owner);
    QTreeWidget* DiskList() const { return disks_; }
    void OnBrowse();

protected:
    bool OnInitDialog() override;
    void OnOK() override;

private:
    QTreeWidget* disks_ = nullptr;
};

// Creates a vault (template 135): the checks and the mount through CreateVault, then the backup
// question and the format, with the progress shown every 500 ms. Ends with IDOK once the drive
// is formatted; "关闭" (IDCANCEL) works until a create attempt has mounted the new vault, and
// again after a format that failed (then ending with IDOK: the vault is catalogued).
class CDlgNew : public CDialog, public FormatDialog {
public:
    explicit CDlgNew(QWidget* owner);
    void OnBrowse();

    FormatProgress& Progress() override { return progress_; }
    void StartFormatTimer() override;
    // One tick of timer 1 (public so that tests can drive it without waiting).
    void OnFormatTimer();
    bool FormatTimerActive() const { return timer_.isActive(); }

protected:
    bool OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;

private:
    void disable_controls();
    void backup_password(const std::u16string& name, const std::u16string& password);
    void format_failed(const std::u16string& status);

    QComboBox* letters_ = nullptr;
    QComboBox* loadModes_ = nullptr;
    FormatProgress progress_;
    QTimer timer_;
    bool formatFailed_ = false;
};

// The main window's commands on the vault named by the selected item; true when the window is
// to refresh its list.
bool OpenVaultCommand(QWidget* window, const std::u16string& name);
bool CloseVaultCommand(QWidget* window, const std::u16string& name);
bool PropertiesCommand(QWidget* window, const std::u16string& name);
bool DeleteVaultCommand(QWidget* window, const std::u16string& name);
bool DestroyVaultCommand(QWidget* window, const std::u16string& name);
// The three buttons' dialogs, run modally over `owner` (nullptr: no owner); their result.
int RunNewVaultDialog(QWidget* owner);
int RunImportDialog(QWidget* owner);
int RunSettingDialog(QWidget* owner);

// Plugs the commands and dialogs above into the main window's operations and the start-up's
// "/CreateDefault"; the program calls it before start-up.
void InstallVaultDialogs();

} // namespace gui
