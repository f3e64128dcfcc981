#include "update_dlg.h"

#include "update_check.h"

#include "common/vendor_server.h"
#include "gui/message_box.h"

#include <QAction>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>

#include <chrono>
#include <filesystem>
#include <system_error>

UpdateConfig UpdateConfig::ForThisMachine()
{
    UpdateConfig config;
    config.download.baseUrl = VendorServerBaseUrl();
    std::error_code error;
    config.download.targetFolder =
        std::filesystem::read_symlink("/proc/self/exe", error).parent_path().string();
    const std::string base = config.download.baseUrl;
    config.latestVersion = [base] { return GetLatestVersion(base); };
    return config;
}

CAboutDlg::CAboutDlg(QWidget* owner) : CDialog(100, 170, 62, u"关于 update", owner) {}

bool CAboutDlg::OnInitDialog()
{
    auto* icon = AddStatic(gui::IDC_STATIC, u"", 14, 14, 21, 20);
    icon->setPixmap(style()->standardIcon(QStyle::SP_BrowserReload).pixmap(32, 32));
    AddStatic(gui::IDC_STATIC, u"update，2.0 版", 42, 14, 114, 8);
    AddButton(IDOK, u"确定", 113, 41, 50, 14, gui::ButtonStyle::default_push);
    return true;
}

// The download thread's view of the window: every change goes to the dialog's thread as a
// queued call, so the worker never touches a widget. Calls still queued when the dialog goes
// away are dropped with it.
class CUpdateDlg::Events : public DownloadEvents {
public:
    explicit Events(CUpdateDlg* dialog) : dialog_(dialog) {}

    void Connecting() override
    {
        Post([](CUpdateDlg* d) {
            d->Item<QProgressBar>(IDC_PROGRESS)->setRange(0, 100);
            d->timer_.start(kTimerPeriodMs);
            d->SetDlgItemText(IDC_STATUS, kStatusConnecting);
        });
    }
    void Downloading() override
    {
        Post([](CUpdateDlg* d) { d->SetDlgItemText(IDC_STATUS, kStatusDownloading); });
    }
    void Done() override
    {
        Post([](CUpdateDlg* d) {
            d->Item<QProgressBar>(IDC_PROGRESS)->setValue(100);
            d->SetDlgItemText(IDC_STATUS, kStatusDone);
            d->GetDlgItem(IDOK)->setEnabled(true);
        });
    }
    void Failed(const std::u16string& status) override
    {
        // Failed keeps the last status unless the failure has a text of its own.
        if (!status.empty())
            Post([status](CUpdateDlg* d) { d->SetDlgItemText(IDC_STATUS, status); });
    }

private:
    template <class F> void Post(F change)
    {
        CUpdateDlg* dialog = dialog_;
        QMetaObject::invokeMethod(
            dialog, [dialog, change] { change(dialog); }, Qt::QueuedConnection);
    }
    CUpdateDlg* dialog_;
};

CUpdateDlg::CUpdateDlg(UpdateConfig config, QWidget* owner)
    : CDialog(kTemplateId, 267, 98, u"岚泽禾zavor更新程序", owner), config_(std::move(config))
{
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    connect(&timer_, &QTimer::timeout, this, &CUpdateDlg::OnTimer);
}

CUpdateDlg::~CUpdateDlg()
{
    // Going away with a download still running (the program ends): stop it rather than wait
    // for a silent server.
    if (download_ && DownloadRunning())
        download_->Cancel();
    JoinWorker();
}

bool CUpdateDlg::OnInitDialog()
{
    AddButton(IDOK, u"升级", 152, 77, 50, 14, gui::ButtonStyle::default_push);
    AddButton(IDCANCEL, u"关闭", 210, 77, 50, 14);
    // The vendor's banner picture has no counterpart here; its place stays empty.
    AddStatic(IDC_PICTURE, u"", 158, 7, 102, 30);
    auto* bar = AddProgress(IDC_PROGRESS, 7, 44, 253, 14);
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
    AddStatic(gui::IDC_STATIC, u"当前版本：", 7, 11, 35, 8);
    AddStatic(gui::IDC_STATIC, u"最新版本：", 7, 24, 34, 8);
    AddStatic(IDC_CURRENT_VERSION, u"2.0.0", 42, 11, 37, 8);
    AddStatic(IDC_LATEST_VERSION, u"2.0.1", 42, 24, 36, 8);
    AddStatic(IDC_STATUS, u"", 41, 63, 219, 8);
    AddStatic(gui::IDC_STATIC, u"更新进度：", 7, 63, 34, 8);

    // The window menu cannot be extended here: the About entry is the window's context menu.
    auto* separator = new QAction(this);
    separator->setSeparator(true);
    auto* about = new QAction(gui::ToQString(u"关于 update(&A)..."), this);
    about->setObjectName(QString::number(IDM_ABOUTBOX));
    connect(about, &QAction::triggered, this, [this] { CAboutDlg(this).DoModal(); });
    addAction(separator);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    setWindowIcon(style()->standardIcon(QStyle::SP_BrowserReload));

    SetDlgItemText(IDC_CURRENT_VERSION, kInstalledVersionText);
    SetDlgItemText(IDC_LATEST_VERSION,
                   FormatVersion(config_.latestVersion ? config_.latestVersion() : 0));
    return true;
}

void CUpdateDlg::JoinWorker()
{
    if (worker_.joinable())
        worker_.join();
}

void CUpdateDlg::OnOK()
{
    // A download that reported Done may still be starting its setup program.
    JoinWorker();
    download_ = std::make_unique<SetupDownload>(config_.download);
    download_->start = config_.start;
    workerDone_ = false;
    try {
        worker_ = std::thread([this, download = download_.get()] {
            Events events(this);
            download->Run(events);
            workerDone_ = true;
        });
    } catch (const std::system_error&) {
        workerDone_ = true;
        gui::MessageBox(this, u"更新失败!", u"update", MB_OK);
        return;
    }
    GetDlgItem(IDOK)->setEnabled(false);
}

void CUpdateDlg::OnCancel()
{
    if (worker_.joinable()) {
        for (int i = 0; i < 10 && !workerDone_; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!workerDone_) {
            if (gui::MessageBox(this, u"更新尚未完成，确定要退出吗?", u"退出更新",
                                MB_YESNO | MB_ICONQUESTION) != IDYES)
                return;
            // Instead of killing a thread that holds a file and a lock: the transfer is
            // aborted and the thread ends by itself, with nothing started.
            download_->Cancel();
        }
    }
    timer_.stop();
    EndDialog(IDCANCEL);
}

void CUpdateDlg::OnTimer()
{
    auto* bar = Item<QProgressBar>(IDC_PROGRESS);
    if (bar->value() < 99)
        bar->setValue(bar->value() + 1);
    if (bar->value() == 100) {
        bar->setValue(0);
        timer_.stop();
    }
}
