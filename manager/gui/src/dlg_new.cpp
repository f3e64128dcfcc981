// The create dialog: inputs, CreateVault, the backup question, and the format with its timer.
#include "gui/vault_dialogs.h"

#include "gui/message_box.h"
#include "gui/pickers.h"
#include "gui/vault_ui.h"

#include "disk_helpers.h"
#include "password_backup.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

namespace gui {

namespace {

// The controls that go grey once the vault is mounted, in the order they go.
constexpr int kDisabledInOrder[] = {kIdName,    kIdPath,       kIdSize,    kIdDescription,
                                    IDC_LETTER, IDC_LOAD_MODE, IDC_BROWSE, IDOK,
                                    IDCANCEL,   kIdPassword,   kIdConfirm};

} // namespace

CDlgNew::CDlgNew(QWidget* owner) : CDialog(IDD_NEW, 251, 190, u"新建保险箱", owner)
{
    timer_.setInterval(500);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { OnFormatTimer(); });
}

bool CDlgNew::OnInitDialog()
{
    AddLabel(u"名称：", 7, 10);
    QLineEdit* name = AddEdit(kIdName, 48, 7, 79, 14);
    AddLabel(u"*", 129, 10);
    AddLabel(u"大小：", 140, 10);
    AddEdit(kIdSize, 166, 7, 30, 14, EditStyle::number);
    AddLabel(u"*(单位: G)", 199, 10);
    AddLabel(u"保存位置：", 7, 27);
    AddEdit(kIdPath, 48, 24, 150, 14, EditStyle::read_only);
    QPushButton* browse = AddButton(IDC_BROWSE, u"浏览 ...", 202, 24, 42, 14);
    AddLabel(u"默认盘符：", 7, 44);
    letters_ = AddComboBox(IDC_LETTER, 48, 41, 79, 30);
    AddLabel(u"加载方式：", 7, 61);
    loadModes_ = AddComboBox(IDC_LOAD_MODE, 48, 58, 79, 30);
    AddStatic(IDC_LOAD_HINT, u"", 130, 61, 89, 8);
    AddLabel(u"描述：", 7, 78);
    Place(NewDescriptionEdit(this), kIdDescription, 48, 76, 196, 35);
    AddLabel(u"密码：", 7, 120);
    AddEdit(kIdPassword, 48, 117, 79, 14, EditStyle::password);
    AddLabel(u"*", 129, 120);
    AddLabel(u"确认：", 140, 120);
    AddEdit(kIdConfirm, 166, 117, 74, 14, EditStyle::password);
    AddLabel(u"*", 242, 120);
    AddStatic(IDC_STATUS, u"创建信息：", 7, 138, 237, 8);
    QProgressBar* bar = AddProgress(IDC_PROGRESS, 7, 149, 237, 10);
    bar->setRange(0, 100);
    bar->setValue(0);
    AddButton(IDOK, u"创建", 133, 168, 50, 14, ButtonStyle::default_push);
    AddButton(IDCANCEL, u"关闭", 191, 168, 50, 14);

    const std::u16string proposed = DefaultVaultName(g_VaultCatalogue);
    SetDlgItemText(kIdName, proposed);
    SetDlgItemText(kIdSize, InitialSizeText(g_VaultCatalogue.DefaultPath));
    SetDlgItemText(
        kIdPath, PathFollowingName(WithTrailingBackslash(g_VaultCatalogue.DefaultPath), proposed));
    FillLetterList(letters_, LetterListItems(g_RedAvClient));
    FillLoadModeList(loadModes_, GetDlgItem(IDC_LOAD_HINT));
    SetDlgItemText(kIdDescription, proposed);

    QObject::connect(name, &QLineEdit::textChanged, this, [this](const QString& text) {
        SetDlgItemText(kIdPath, PathFollowingName(GetDlgItemText(kIdPath), ToU16(text)));
    });
    QObject::connect(browse, &QPushButton::clicked, this, [this] { OnBrowse(); });
    name->setFocus();
    return false;
}

void CDlgNew::OnBrowse()
{
    const std::u16string folder = PickFolder(u"选择新建保险箱路径", this);
    if (!folder.empty())
        SetDlgItemText(kIdPath, PathInPickedFolder(folder, GetDlgItemText(kIdName)));
}

void CDlgNew::OnOK()
{
    // Enter after the create started reaches here with the button already grey.
    if (!GetDlgItem(IDOK)->isEnabled())
        return;
    CreateInput input;
    input.name = GetDlgItemText(kIdName);
    input.path = GetDlgItemText(kIdPath);
    input.sizeText = GetDlgItemText(kIdSize);
    input.letter = WCHAR(std::max(0, SelectedLetterData(letters_)));
    input.loadtype = loadModes_->currentIndex();
    input.description = GetDlgItemText(kIdDescription);
    input.password = GetDlgItemText(kIdPassword);
    input.confirmation = GetDlgItemText(kIdConfirm);
    const Outcome outcome = CreateVault(g_VaultCatalogue, g_RedAvClient, input,
                                        AskWithMessageBox(this, Caption::platform_default));
    if (outcome.result != OpResult::Done) {
        ShowOutcome(this, outcome, Caption::platform_default, this);
        return;
    }

    disable_controls();
    if (ShowMessage(this, MessageId::BackupAsk, MessageText(MessageId::BackupAsk),
                    Caption::platform_default) == IDYES)
        backup_password(input.name, input.password);

    auto job = std::make_unique<FormatJob>();
    job->dialog = this;
    job->letter = outcome.letter;
    job->label = input.name;
    if (!StartFormatWorker(std::move(job)))
        format_failed(u"");
}

void CDlgNew::OnCancel()
{
    // Grey from the mount until the format ends: the worker still uses this dialog. After a
    // failed format the vault is catalogued all the same, so the window is to list it.
    if (GetDlgItem(IDCANCEL)->isEnabled())
        EndDialog(formatFailed_ ? IDOK : IDCANCEL);
}

void CDlgNew::disable_controls()
{
    for (int id : kDisabledInOrder)
        GetDlgItem(id)->setEnabled(false);
}

void CDlgNew::backup_password(const std::u16string& name, const std::u16string& password)
{
    const std::u16string folder = PickFolder(u"请选择保险箱密码备份保存位置", this);
    const PasswordBackupOutcome backup = BackupVaultPassword(folder, name, password);
    if (!backup.message.empty())
        ShowMessage(this, backup.errorIcon ? MessageId::BackupFailed : MessageId::BackupDone,
                    backup.message, Caption::platform_default);
}

void CDlgNew::StartFormatTimer()
{
    // Called on the worker's thread; the timer lives on the dialog's.
    QMetaObject::invokeMethod(
        this, [this] { timer_.start(); }, Qt::QueuedConnection);
}

void CDlgNew::OnFormatTimer()
{
    const FormatTick tick = ::OnFormatTimer(progress_);
    SetDlgItemText(IDC_STATUS, tick.status);
    switch (tick.action) {
    case FormatTick::Action::show:
        Item<QProgressBar>(IDC_PROGRESS)->setValue(tick.bar);
        return;
    case FormatTick::Action::finish:
        Item<QProgressBar>(IDC_PROGRESS)->setValue(tick.bar);
        timer_.stop();
        EndDialog(IDOK);
        return;
    case FormatTick::Action::fail:
        format_failed(tick.status);
        return;
    }
}

void CDlgNew::format_failed(const std::u16string& status)
{
    timer_.stop();
    formatFailed_ = true;
    if (!status.empty())
        SetDlgItemText(IDC_STATUS, status);
    MessageBox(this, FormatFailedMessage, nullptr, MB_OK | MB_ICONERROR);
    GetDlgItem(IDCANCEL)->setEnabled(true);
}

} // namespace gui
