#include "gui/main_dlg.h"

#include "gui/message_box.h"
#include "gui/pictures.h"
#include "gui/popup_index.h"

#include "controls/button_st.h"
#include "controls/hyperlink.h"

#include "common/sys_utils.h"
#include "vault_catalogue.h"
#include "vault_state.h"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>

MainDlgOperations g_MainDlgOperations;

namespace gui {

const std::vector<MenuTemplateItem>& VaultMenuTemplate()
{
    static const std::vector<MenuTemplateItem> menu{
        {0,
         u"保险箱",
         {
             {ID_VAULT_OPEN, u"打开保险箱(&O)", {}},
             {ID_VAULT_CLOSE, u"关闭保险箱(&C)", {}},
             {0, u"", {}},
             {ID_VAULT_PROPERTIES, u"保险箱属性(&P)", {}},
             {0, u"", {}},
             {ID_VAULT_DELETE, u"删除保险箱(&U)", {}},
             {ID_VAULT_DESTROY, u"销毁保险箱(&D)", {}},
         }},
    };
    return menu;
}

} // namespace gui

using namespace gui;

CMainDlg::CMainDlg(bool withNews) : CDialog(IDD_MAIN, 300, 287, kMainWindowTitle, nullptr)
{
    icon_ = LoadIcon(101);
    // A popup with caption, system menu and minimise box; no maximise box, fixed frame.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
    if (withNews)
        news_ = new CDlgPopupIndex();
}

CMainDlg::~CMainDlg()
{
    if (published_)
        LockbinWithdrawWindow(published_);
    delete news_;
}

bool CMainDlg::OnInitDialog()
{
    setWindowIcon(icon_);

    AddButton(IDC_BTN_NEW, u"新建", 7, 7, 91, 38);
    AddButton(IDC_BTN_IMPORT, u"导入", 104, 7, 91, 38);
    AddButton(IDC_BTN_SETTING, u"设置", 201, 7, 91, 38);
    AddGroupBox(IDC_STATIC, u"保险箱列表", 7, 55, 285, 120);
    list_ = AddListView(IDC_VAULT_LIST, 7, 66, 271, 101);
    AddLabel(u"名称：", 11, 183);
    AddStatic(IDC_INFO_NAME, u"", 37, 183, 49, 8);
    AddLabel(u"状态：", 91, 183);
    AddStatic(IDC_INFO_STATE, u"", 121, 183, 44, 8);
    AddLabel(u"盘符：", 11, 202);
    AddStatic(IDC_INFO_LETTER, u"", 37, 202, 49, 8);
    AddLabel(u"大小：", 91, 202);
    AddStatic(IDC_INFO_SIZE, u"", 121, 202, 44, 8);
    AddLabel(u"描述：", 11, 222);
    AddStatic(IDC_INFO_DESCRIPTION, u"", 37, 222, 256, 12);
    QLabel* picture = AddStatic(IDC_PRODUCT_PICTURE, u"", 174, 180, 119, 35);
    picture->setPixmap(QPixmap::fromImage(LoadBitmap(149, picture->size())));
    AddEtchedLine(IDC_STATIC, 7, 239, 286, 1);
    AddStatic(IDC_CAPTION, u"岚泽禾zavor保险箱系统 版本 2.0", 11, 247, 199, 9);
    AddStatic(IDC_SLOGAN, u"岚泽禾 企业数据安全解决方案专家", 12, 259, 199, 9);
    AddStatic(IDC_LINK_SITE, u"www.lanzehe.example.com", 11, 271, 90, 9);
    AddStatic(IDC_LINK_MAIL, u"support@lanzehe.example.com", 109, 271, 108, 9);

    // The three image buttons: bitmap faces with white left out, three-dimensional.
    const int face = MapDialogRect(0, 0, 0, 30).height();
    struct Face {
        int id;
        int bitmap;
        CButtonST** button;
    };
    for (const Face& f : {Face{IDC_BTN_NEW, 129, &btnNew_}, Face{IDC_BTN_IMPORT, 130, &btnImport_},
                          Face{IDC_BTN_SETTING, 134, &btnSetting_}}) {
        CButtonST* button = CButtonST::TakeOver(Item<QPushButton>(f.id));
        button->SetBitmaps(LoadBitmap(f.bitmap, QSize(face, face)), QColor(0xFF, 0xFF, 0xFF));
        button->SetFlat(false, true);
        *f.button = button;
    }
    connect(btnNew_, &QPushButton::clicked, this, &CMainDlg::OnBnClickedNew);
    connect(btnImport_, &QPushButton::clicked, this, &CMainDlg::OnBnClickedImport);
    connect(btnSetting_, &QPushButton::clicked, this, &CMainDlg::OnBnClickedSetting);

    // The image list: 0 closed, 1 open, 40 x 40.
    images_[0] = LoadIcon(140);
    images_[1] = LoadIcon(141);
    list_->setViewMode(QListView::IconMode);
    list_->setIconSize(QSize(40, 40));
    list_->setFlow(QListView::LeftToRight);
    list_->setWrapping(true);
    list_->setResizeMode(QListView::Adjust);
    list_->setMovement(QListView::Static);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    // Cells wide enough for a name of several characters under its icon, as the platform spaces
    // large icons.
    list_->setGridSize(QSize(MapDialogRect(0, 0, 44, 0).width(), 40 + 2 * fontMetrics().height()));
    list_->setWordWrap(true);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->viewport()->installEventFilter(this);
    connect(list_, &QListWidget::itemSelectionChanged, this, &CMainDlg::show_details);
    connect(list_, &QListWidget::customContextMenuRequested, this, &CMainDlg::OnRClickList);

    RefreshVaultList();

    if (news_) {
        news_->Create();
        // Centred on the primary screen, 600 x 400, whatever the template says.
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        news_->setGeometry(screen.x() + (screen.width() - 600) / 2,
                           screen.y() + (screen.height() - 400) / 2, 600, 400);
        news_->show();
    }

    CHyperLink::SetErrorReporter([](QWidget* owner, const std::u16string& message) {
        AppMessageBox(owner, message, MB_OK | MB_ICONEXCLAMATION);
    });
    // The vendor's links: never underlined, one colour for every state, the hand cursor.
    const QColor linkColour(20, 20, 200);
    linkSite_ = CHyperLink::TakeOver(Item<QLabel>(IDC_LINK_SITE), ToQString(kVendorSite));
    linkMail_ = CHyperLink::TakeOver(Item<QLabel>(IDC_LINK_MAIL), ToQString(kVendorMail));
    for (CHyperLink* link : {linkSite_, linkMail_}) {
        link->SetColours(linkColour, linkColour, linkColour);
        link->SetUnderline(0);
        link->SetLinkCursor(QCursor(Qt::PointingHandCursor));
    }
    return true;
}

void CMainDlg::showEvent(QShowEvent* event)
{
    CDialog::showEvent(event);
    if (!published_) {
        published_ = LockbinPublishWindow(
            kMainWindowTitle,
            [](void* context) {
                auto* self = static_cast<CMainDlg*>(context);
                QMetaObject::invokeMethod(
                    self,
                    [self] {
                        self->showNormal();
                        self->raise();
                        self->activateWindow();
                    },
                    Qt::QueuedConnection);
            },
            this);
    }
}

bool CMainDlg::PreTranslateKey(QKeyEvent* event)
{
    // Neither Enter nor Escape ends the main window: only its close box does.
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        return true;
    default:
        return false;
    }
}

bool CMainDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (list_ && watched == list_->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        // Let the list settle its selection first, as the platform does before notifying.
        QTimer::singleShot(0, this, &CMainDlg::OnDblClkList);
    }
    return CDialog::eventFilter(watched, event);
}

void CMainDlg::RefreshVaultList()
{
    const int selected = GetSelectedIndex();
    list_->blockSignals(true);
    list_->clear();
    list_->blockSignals(false);
    for (const VaultRecord& record : g_VaultCatalogue) {
        const int image = IsVaultMounted(record) ? 1 : 0;
        auto* item = new QListWidgetItem(images_[image], ToQString(record.Name), list_);
        item->setData(Qt::UserRole, image);
        item->setTextAlignment(Qt::AlignHCenter | Qt::AlignTop);
    }
    if (selected >= 0 && selected < list_->count())
        list_->item(selected)->setSelected(true);
}

int CMainDlg::GetSelectedIndex() const
{
    for (int i = 0; i < list_->count(); ++i)
        if (list_->item(i)->isSelected())
            return i;
    return -1;
}

std::u16string CMainDlg::GetItemText(int index) const
{
    if (index < 0 || index >= list_->count())
        return {};
    return ToU16(list_->item(index)->text());
}

int CMainDlg::GetItemImage(int index) const
{
    if (index < 0 || index >= list_->count())
        return -1;
    return list_->item(index)->data(Qt::UserRole).toInt();
}

void CMainDlg::show_details()
{
    const int index = GetSelectedIndex();
    if (index < 0)
        return;
    VaultRecord record;
    if (!g_VaultCatalogue.FindByName(GetItemText(index), record))
        return;
    const bool mounted = IsVaultMounted(record);
    SetDlgItemText(IDC_INFO_NAME, record.Name);
    SetDlgItemText(IDC_INFO_STATE, mounted ? u"打开" : u"关闭");
    std::u16string letter;
    if (record.autoassign != 0) {
        letter = u"自动分配";
        if (mounted)
            letter += std::u16string(u"(") + record.Letter + u")";
    } else if (record.Letter != 0) {
        letter = std::u16string(1, record.Letter);
    }
    SetDlgItemText(IDC_INFO_LETTER, letter);
    SetDlgItemText(IDC_INFO_SIZE, FormatByteSize(GetVaultSize(record)));
    SetDlgItemText(IDC_INFO_DESCRIPTION, record.Description);
}

void CMainDlg::OnBnClickedNew()
{
    if (g_MainDlgOperations.newVault && g_MainDlgOperations.newVault(this) == IDOK)
        RefreshVaultList();
}

void CMainDlg::OnBnClickedImport()
{
    if (g_MainDlgOperations.importVault && g_MainDlgOperations.importVault(this) == IDOK)
        RefreshVaultList();
}

void CMainDlg::OnBnClickedSetting()
{
    if (g_MainDlgOperations.settings)
        g_MainDlgOperations.settings(this);
}

void CMainDlg::OnDblClkList()
{
    if (GetSelectedIndex() >= 0)
        OnCommand(ID_VAULT_OPEN);
}

void CMainDlg::OnRClickList()
{
    const int index = GetSelectedIndex();
    if (index < 0)
        return;
    VaultRecord record;
    if (!g_VaultCatalogue.FindByName(GetItemText(index), record))
        return;
    const QPoint at = QCursor::pos();
    BCMenu::SetMenuDrawMode(1);
    BCMenu menu;
    menu.LoadMenu(VaultMenuTemplate());
    BCMenu* popup = menu.GetSubMenu(0);
    const bool mounted = IsVaultMounted(record);
    popup->EnableMenuItem(ID_VAULT_OPEN, !mounted);
    popup->EnableMenuItem(ID_VAULT_CLOSE, mounted);
    popup->EnableMenuItem(ID_VAULT_PROPERTIES, !mounted);
    popup->EnableMenuItem(ID_VAULT_DELETE, !mounted);
    popup->EnableMenuItem(ID_VAULT_DESTROY, !mounted);
    activeMenu_ = popup;
    const int command = popup->TrackPopupMenu(at);
    activeMenu_ = nullptr;
    if (command != 0)
        OnCommand(command);
}

void CMainDlg::OnCommand(int id)
{
    // The menu acts on the selected item, wherever the click landed.
    const int index = GetSelectedIndex();
    if (index < 0)
        return;
    const std::u16string name = GetItemText(index);
    std::function<bool(CMainDlg&, const std::u16string&)> operation;
    switch (id) {
    case ID_VAULT_OPEN:
        operation = g_MainDlgOperations.open;
        break;
    case ID_VAULT_CLOSE:
        operation = g_MainDlgOperations.close;
        break;
    case ID_VAULT_PROPERTIES:
        operation = g_MainDlgOperations.properties;
        break;
    case ID_VAULT_DELETE:
        operation = g_MainDlgOperations.deleteVault;
        break;
    case ID_VAULT_DESTROY:
        operation = g_MainDlgOperations.destroyVault;
        break;
    default:
        return;
    }
    if (operation && operation(*this, name))
        RefreshVaultList();
}
