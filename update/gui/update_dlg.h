// The updater's window (template 102) and its About box (template 100).
#pragma once

#include "setup_download.h"

#include "gui/dialog.h"

#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

// Where the updater looks and what it trusts; the program uses the defaults, tests their own.
struct UpdateConfig {
    DownloadSettings download;
    // The latest published version; the program asks the vendor's server.
    std::function<uint32_t()> latestVersion;
    // How a verified setup program is started.
    bool (*start)(const std::string& path) = &StartSetupElevated;

    // The vendor's server as configured, the folder of this executable, the system's keys file.
    static UpdateConfig ForThisMachine();
};

class CAboutDlg : public gui::CDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* owner);

protected:
    bool OnInitDialog() override;
};

class CUpdateDlg : public gui::CDialog {
    Q_OBJECT
public:
    static constexpr int kTemplateId = 102;
    static constexpr int IDC_PICTURE = 1000;
    static constexpr int IDC_PROGRESS = 1001;
    static constexpr int IDC_CURRENT_VERSION = 1002;
    static constexpr int IDC_LATEST_VERSION = 1003;
    static constexpr int IDC_STATUS = 1004;
    static constexpr int IDM_ABOUTBOX = 16;
    static constexpr int kTimerPeriodMs = 1000;

    explicit CUpdateDlg(UpdateConfig config, QWidget* owner = nullptr);
    ~CUpdateDlg() override;

    // The progress timer's tick: +1 below 99; at 100 back to 0 and the timer stops.
    void OnTimer();
    bool TimerActive() const { return timer_.isActive(); }
    // True while a download thread has not finished.
    bool DownloadRunning() const { return worker_.joinable() && !workerDone_; }

protected:
    bool OnInitDialog() override;
    // "升级" (id 1, the default button).
    void OnOK() override;
    // "关闭" (id 2), Escape and the close box.
    void OnCancel() override;

private:
    class Events;
    void JoinWorker();

    UpdateConfig config_;
    QTimer timer_;
    std::unique_ptr<SetupDownload> download_;
    std::thread worker_;
    std::atomic<bool> workerDone_{true};
};
