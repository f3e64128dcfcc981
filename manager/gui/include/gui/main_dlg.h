// CMainDlg: the manager's main window (template 102) with the vault list, the details pane, the
// three big buttons, the context menu and the vendor's links.
#pragma once

#include "gui/dialog.h"

#include "controls/bc_menu.h"

#include <QIcon>

#include <functional>
#include <string>
#include <vector>

class CButtonST;
class CHyperLink;
class CDlgPopupIndex;
class QListWidget;

namespace gui {

// Control and command ids of the main window.
enum MainDlgIds {
    IDD_MAIN = 102,
    IDC_BTN_NEW = 1001,
    IDC_BTN_IMPORT = 1002,
    IDC_BTN_SETTING = 1003,
    IDC_VAULT_LIST = 1006,
    IDC_INFO_NAME = 1032,
    IDC_INFO_STATE = 1033,
    IDC_INFO_LETTER = 1034,
    IDC_INFO_SIZE = 1035,
    IDC_INFO_DESCRIPTION = 1036,
    IDC_CAPTION = 1050,
    IDC_LINK_SITE = 1051,
    IDC_PRODUCT_PICTURE = 1052,
    IDC_LINK_MAIL = 1054,
    IDC_SLOGAN = 1055,
    IDR_VAULT_MENU = 139,
    ID_VAULT_OPEN = 32776,
    ID_VAULT_CLOSE = 32777,
    ID_VAULT_PROPERTIES = 32778,
    ID_VAULT_DESTROY = 32780,
    ID_VAULT_DELETE = 32781,
};

inline constexpr char16_t kMainWindowTitle[] = u"岚泽禾zavor系统软件 V2.0";
inline constexpr char16_t kVendorSite[] = u"http://www.lanzehe.example.com";
inline constexpr char16_t kVendorMail[] = u"mailto:support@lanzehe.example.com";

// Menu resource 139.
const std::vector<MenuTemplateItem>& VaultMenuTemplate();

} // namespace gui

class CMainDlg;

// Where the vault operations plug into the main window. Each is empty until its dialog lands;
// an empty operation does nothing. The window refreshes its list after newVault and importVault
// when they return IDOK, and after the others when they return true.
struct MainDlgOperations {
    // The create, import and settings dialogs, run modally over the window; their result.
    std::function<int(QWidget* owner)> newVault;
    std::function<int(QWidget* owner)> importVault;
    std::function<int(QWidget* owner)> settings;
    // Commands on the selected vault, given its item text.
    std::function<bool(CMainDlg& window, const std::u16string& name)> open;
    std::function<bool(CMainDlg& window, const std::u16string& name)> close;
    std::function<bool(CMainDlg& window, const std::u16string& name)> properties;
    std::function<bool(CMainDlg& window, const std::u16string& name)> deleteVault;
    std::function<bool(CMainDlg& window, const std::u16string& name)> destroyVault;
};
extern MainDlgOperations g_MainDlgOperations;

class CMainDlg : public gui::CDialog {
    Q_OBJECT
public:
    // withNews: create and show the news window (always, in the program; tests may leave it out).
    explicit CMainDlg(bool withNews = true);
    ~CMainDlg() override;

    // Rebuilds the list from the catalogue, keeping the selected index.
    void RefreshVaultList();
    // The first selected item's index, -1 when none.
    int GetSelectedIndex() const;
    std::u16string GetItemText(int index) const;
    QListWidget* VaultList() const { return list_; }
    CDlgPopupIndex* NewsWindow() const { return news_; }
    // The image of an item: 0 closed, 1 open.
    int GetItemImage(int index) const;
    // The context menu of the last right click while it is shown (tests), else nullptr.
    BCMenu* ActiveMenu() const { return activeMenu_; }

    // Handlers, public so that tests and the operations can run them as the window does.
    void OnBnClickedNew();
    void OnBnClickedImport();
    void OnBnClickedSetting();
    void OnDblClkList();
    void OnRClickList();
    void OnCommand(int id);

protected:
    bool OnInitDialog() override;
    void OnOK() override {}
    bool PreTranslateKey(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void show_details();

    QIcon icon_;
    CButtonST* btnNew_ = nullptr;
    CButtonST* btnImport_ = nullptr;
    CButtonST* btnSetting_ = nullptr;
    QListWidget* list_ = nullptr;
    QIcon images_[2];
    CDlgPopupIndex* news_ = nullptr;
    CHyperLink* linkSite_ = nullptr;
    CHyperLink* linkMail_ = nullptr;
    BCMenu* activeMenu_ = nullptr;
    HWND published_ = nullptr;
};
