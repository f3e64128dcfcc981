// The password, properties, import and settings dialogs.
#include "gui/vault_dialogs.h"

#include "gui/message_box.h"
#include "gui/pickers.h"
#include "gui/vault_ui.h"

#include "disk_helpers.h"
#include "shellapi.h"

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>

namespace gui {

namespace {

// The system small-icon list's drive icons, as the desktop's style draws them.
QIcon system_small_icon(int index)
{
    QStyle* style = QApplication::style();
    switch (index) {
    case SHELL_ICON_REMOVABLE:
        return style->standardIcon(QStyle::SP_DriveFDIcon);
    case SHELL_ICON_CDROM:
        return style->standardIcon(QStyle::SP_DriveCDIcon);
    case SHELL_ICON_REMOTE:
        return style->standardIcon(QStyle::SP_DriveNetIcon);
    default:
        return style->standardIcon(QStyle::SP_DriveHDIcon);
    }
}

} // namespace

// ---- CDlgOpen ----

CDlgOpen::CDlgOpen(std::u16string name, std::u16string path, QWidget* owner)
    : CDialog(IDD_OPEN, 166, 43, u"打开保险箱", owner), name_(std::move(name)),
      path_(std::move(path))
{
}

bool CDlgOpen::OnInitDialog()
{
    AddStatic(IDC_STATIC, u"请输入保险箱密码：", 7, 7, 73, 8);
    AddEdit(kIdOpenPassword, 7, 22, 90, 14, EditStyle::password);
    AddButton(IDOK, u"确定", 109, 22, 50, 14, ButtonStyle::default_push);
    GetDlgItem(kIdOpenPassword)->setFocus();
    return false;
}

void CDlgOpen::OnOK()
{
    password_ = GetDlgItemText(kIdOpenPassword);
    const Outcome check = CheckOpenPassword(password_);
    if (check.result != OpResult::Done) {
        ShowOutcome(this, check, Caption::application, this);
        return;
    }
    EndDialog(IDOK);
}

// ---- the rows the properties and import dialogs share ----

void CVaultFieldsDialog::AddVaultFields()
{
    AddLabel(u"默认盘符：", 7, 43);
    letters_ = AddComboBox(IDC_LETTER, 48, 41, 79, 30);
    AddLabel(u"加载方式：", 7, 60);
    loadModes_ = AddComboBox(IDC_LOAD_MODE, 48, 58, 79, 30);
    AddStatic(IDC_LOAD_HINT, u"", 130, 60, 89, 8);
    AddLabel(u"描述：", 7, 78);
    Place(NewDescriptionEdit(this), kIdDescription, 48, 76, 194, 35);
    AddButton(IDOK, u"确定", 133, 114, 50, 14, ButtonStyle::default_push);
    AddButton(IDCANCEL, u"取消", 191, 114, 50, 14);
}

// ---- CDlgProperty ----

CDlgProperty::CDlgProperty(PropertiesView view, QWidget* owner)
    : CVaultFieldsDialog(IDD_PROPERTY, u"属性", owner), view_(std::move(view))
{
}

bool CDlgProperty::OnInitDialog()
{
    AddLabel(u"名称：", 7, 10);
    AddEdit(kIdName, 48, 7, 79, 14, EditStyle::read_only);
    AddLabel(u"保存位置：", 7, 27);
    AddEdit(kIdPath, 48, 24, 194, 14, EditStyle::read_only);
    AddVaultFields();

    SetDlgItemText(kIdName, view_.vault.Name);
    SetDlgItemText(kIdPath, view_.vault.Path);
    FillLetterList(letters_, view_.letters);
    letters_->setCurrentIndex(view_.selectedLetter);
    FillLoadModeList(loadModes_, GetDlgItem(IDC_LOAD_HINT));
    loadModes_->setCurrentIndex(view_.vault.loadtype == 1 ? 1 : 0);
    SetDlgItemText(kIdDescription, view_.vault.Description);
    return true;
}

void CDlgProperty::OnOK()
{
    PropertiesInput input;
    input.name = view_.vault.Name;
    input.letterData = SelectedLetterData(letters_);
    input.loadtype = loadModes_->currentIndex();
    input.description = GetDlgItemText(kIdDescription);
    UpdateVaultProperties(g_VaultCatalogue, g_RedAvClient, input);
    EndDialog(IDOK);
}

// ---- CDlgImport ----

CDlgImport::CDlgImport(QWidget* owner) : CVaultFieldsDialog(IDD_IMPORT, u"导入保险箱", owner) {}

bool CDlgImport::OnInitDialog()
{
    AddLabel(u"名称：", 7, 10);
    AddEdit(kIdName, 48, 7, 79, 14);
    AddLabel(u"文件位置：", 7, 27);
    AddEdit(kIdPath, 48, 24, 150, 14);
    QPushButton* browse = AddButton(IDC_BROWSE, u"浏览 ...", 202, 24, 40, 14);
    QObject::connect(browse, &QPushButton::clicked, this, [this] { OnBrowse(); });
    AddVaultFields();

    FillLetterList(letters_, LetterListItems(g_RedAvClient));
    FillLoadModeList(loadModes_, GetDlgItem(IDC_LOAD_HINT));
    GetDlgItem(kIdPath)->setFocus();
    return false;
}

void CDlgImport::OnBrowse()
{
    const std::u16string path = PickOpenFile(this, u"请选择已经存在的保险箱",
                                             u"岚泽禾保险箱文件(*.lkb);;所有文件(*.*)", u"");
    if (path.empty())
        return;
    SetDlgItemText(kIdPath, path);
    SetDlgItemText(kIdName, NameFromContainerPath(path));
}

void CDlgImport::OnOK()
{
    ImportInput input;
    input.name = GetDlgItemText(kIdName);
    input.path = GetDlgItemText(kIdPath);
    input.letter = WCHAR(std::max(0, SelectedLetterData(letters_)));
    input.loadtype = loadModes_->currentIndex();
    input.description = GetDlgItemText(kIdDescription);
    const Outcome outcome = ImportVault(g_VaultCatalogue, input);
    if (outcome.result == OpResult::Done) {
        EndDialog(IDOK);
        return;
    }
    ShowOutcome(this, outcome, Caption::platform_default, this);
}

// ---- CDlgSetting ----

CDlgSetting::CDlgSetting(QWidget* owner) : CDialog(IDD_SETTING, 251, 170, u"设置", owner) {}

bool CDlgSetting::OnInitDialog()
{
    AddLabel(u"保险箱默认保存路径：", 7, 7);
    AddEdit(kIdDefaultPath, 7, 18, 190, 14);
    QPushButton* browse = AddButton(IDC_BROWSE, u"浏览 ...", 202, 18, 42, 14);
    QObject::connect(browse, &QPushButton::clicked, this, [this] { OnBrowse(); });
    AddStatic(IDC_STATIC,
              u"下面的列表框中列出了系统当前存在的所有硬盘。\n"
              u"强烈建议将保险箱默认保存路径存放在标记为推荐的磁盘上。",
              7, 38, 237, 18);
    disks_ = new QTreeWidget(this);
    Place(disks_, IDC_DISK_LIST, 7, 60, 237, 84);
    AddButton(IDOK, u"确定", 133, 150, 50, 14, ButtonStyle::default_push);
    AddButton(IDCANCEL, u"取消", 191, 150, 50, 14);

    SetDlgItemText(kIdDefaultPath, WithTrailingBackslash(g_VaultCatalogue.DefaultPath));

    disks_->setRootIsDecorated(false);
    disks_->setSelectionMode(QAbstractItemView::SingleSelection);
    disks_->setSelectionBehavior(QAbstractItemView::SelectRows);
    disks_->setColumnCount(4);
    disks_->setHeaderLabels({ToQString(u"盘符"), ToQString(u"磁盘类型"), ToQString(u"磁盘格式"),
                             ToQString(u"是否推荐")});
    const int widths[] = {60, 100, 100, 80};
    for (int column = 0; column < 4; ++column)
        disks_->setColumnWidth(column, widths[column]);
    disks_->header()->setDefaultAlignment(Qt::AlignLeft);

    SHFILEINFOW none{};
    if (!SHGetFileInfoW(u"", 0, &none, sizeof none, SHGFI_SYSICONINDEX | SHGFI_SMALLICON))
        return true;
    for (const SettingsDisk& disk : ListSettingsDisks(g_RedAvClient)) {
        const WCHAR root[] = {disk.letter, u':', u'\\', 0};
        SHFILEINFOW info{};
        if (!SHGetFileInfoW(root, 0, &info, sizeof info, SHGFI_SYSICONINDEX | SHGFI_TYPENAME))
            continue;
        auto* row = new QTreeWidgetItem(disks_);
        row->setText(0, ToQString(std::u16string(1, disk.letter)));
        row->setIcon(0, system_small_icon(info.iIcon));
        row->setText(1, ToQString(info.szTypeName));
        row->setText(2, ToQString(disk.fileSystem));
        row->setText(3, disk.recommended ? ToQString(kRecommended) : QString());
    }
    return true;
}

void CDlgSetting::OnBrowse()
{
    const std::u16string folder = PickFolder(u"选择保险箱默认保存位置", this);
    if (!folder.empty())
        SetDlgItemText(kIdDefaultPath, WithTrailingBackslash(folder));
}

void CDlgSetting::OnOK()
{
    const Outcome outcome = ChangeDefaultFolder(g_VaultCatalogue, GetDlgItemText(kIdDefaultPath),
                                                AskWithMessageBox(this, Caption::platform_default));
    if (outcome.result == OpResult::Done) {
        EndDialog(IDOK);
        return;
    }
    ShowOutcome(this, outcome, Caption::platform_default, this);
}

} // namespace gui
