// The vault dialogs against the real service, as root over a temporary runtime folder: a vault
// created through the create dialog (answers from the hooks), opened, closed while a process
// holds its drive, its properties and an import refused. With LOCKBIN_SCREENSHOTS=FOLDER
// (scripts/screenshots, under Xvfb) it also saves pictures of the dialogs there.
#include "service_fixture.h"

#include "gui/lockbin_app.h"
#include "gui/main_dlg.h"
#include "gui/message_box.h"
#include "gui/pickers.h"
#include "gui/vault_dialogs.h"

#include "drive_holders.h"
#include "hostns/hostns.h"
#include "vault_state.h"

#include <QApplication>
#include <QComboBox>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <sys/stat.h>
#include <sys/vfs.h>

#include <filesystem>
#include <set>

namespace {

using namespace service_fixture;
using gui::CDialog;

class VaultDialogsService : public VaultServiceTest {
protected:
    void SetUp() override
    {
        VaultServiceTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        // Showing a drive or a file opens nothing here.
        const std::string bin = base_ + "/bin";
        std::filesystem::create_directories(bin);
        std::ofstream(bin + "/xdg-open") << "#!/bin/sh\necho \"$@\" >> " << base_ << "/opened\n";
        ::chmod((bin + "/xdg-open").c_str(), 0755);
        old_path_ = getenv("PATH");
        setenv("PATH", (bin + ":" + old_path_).c_str(), 1);
        shots_ = getenv("LOCKBIN_SCREENSHOTS") ? getenv("LOCKBIN_SCREENSHOTS") : "";
    }
    void TearDown() override
    {
        if (!old_path_.empty())
            setenv("PATH", old_path_.c_str(), 1);
        std::vector<std::u16string> names;
        for (const VaultRecord& v : g_VaultCatalogue)
            names.push_back(v.Name);
        for (const std::u16string& name : names)
            g_VaultCatalogue.RemoveVault(name);
        VaultServiceTest::TearDown();
    }

    static void on_next_dialog(std::function<void(CDialog&)> act)
    {
        QTimer::singleShot(0, [act] {
            auto* dlg = qobject_cast<CDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dlg, nullptr);
            act(*dlg);
        });
    }
    void shot(QWidget& dlg, const char* name)
    {
        if (shots_.empty())
            return;
        QTest::qWait(200);
        EXPECT_TRUE(dlg.grab().save(QString::fromStdString(shots_ + "/" + name)));
    }
    static bool ntfs_at(const std::string& folder)
    {
        struct statfs fs {};
        struct stat here {
        }, parent{};
        return ::stat(folder.c_str(), &here) == 0 &&
               ::stat((folder + "/..").c_str(), &parent) == 0 && here.st_dev != parent.st_dev &&
               ::statfs(folder.c_str(), &fs) == 0;
    }
    std::string opened() const { return read_text(base_ + "/opened"); }

    gui::MessageBoxHook boxes_;
    gui::PickerHook pickers_;
    std::string old_path_, shots_;
};

TEST_F(VaultDialogsService, CreateOpenCloseAndPropertiesThroughTheDialogs)
{
    g_VaultCatalogue.DefaultPath = dos_path(base_);
    ASSERT_TRUE(g_VaultCatalogue.SaveConfig(kConfigFileName));
    gui::InstallVaultDialogs();

    // "/CreateDefault": the create dialog comes before the main window; cancelling it ends.
    CLockbinApp app;
    app.withNews = false;
    app.commandLine = u"Lockbin /CreateDefault";
    int windows = 0;
    app.onMainWindow = [&](CMainDlg&) { ++windows; };
    on_next_dialog([](CDialog& dlg) {
        EXPECT_EQ(dlg.TemplateId(), gui::IDD_NEW);
        dlg.close();
    });
    EXPECT_FALSE(app.InitInstance());
    app.ExitInstance();
    EXPECT_EQ(windows, 0);

    // Create from the main window's "新建": the proposed 20 G, automatic letter, no backup; the
    // dialog ends by itself once the drive is formatted and mounted.
    CMainDlg window(false);
    window.Create();
    // The format here is over before the first half-second tick. For its picture, a tick is
    // run as soon as the worker's own percentage moves, and the dialog is taken as it shows it.
    std::set<int> shown;
    gui::CDlgNew* create = nullptr;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const int worker = create ? int(create->Progress().percent) : 0;
        if (shots_.empty() || !shown.empty() || worker <= 0 || worker >= 95)
            return;
        create->OnFormatTimer();
        shown.insert(create->Item<QProgressBar>(gui::IDC_PROGRESS)->value());
        shot(*create, "create-dialog.png");
    });
    watch.start(5);
    std::u16string status;
    on_next_dialog([&](CDialog& dlg) {
        create = dynamic_cast<gui::CDlgNew*>(&dlg);
        ASSERT_NE(create, nullptr);
        dlg.SetDlgItemText(kIdName, u"工作资料");
        dlg.SetDlgItemText(kIdPassword, u"Passw0rd");
        dlg.SetDlgItemText(kIdConfirm, u"Passw0rd");
        QObject::connect(&dlg, &QDialog::finished,
                         [&] { status = create->GetDlgItemText(gui::IDC_STATUS); });
        dlg.Item<QPushButton>(IDOK)->click();
    });
    window.OnBnClickedNew();
    watch.stop();
    ASSERT_EQ(boxes_.Shown().size(), 1u) << read_text(log_);
    EXPECT_EQ(boxes_.Shown()[0].caption, u"备份保险箱密码");
    EXPECT_EQ(status, u"格式化完成");
    if (!shots_.empty()) {
        EXPECT_FALSE(shown.empty()) << "no progress shown on the way, so no picture of it";
    }
    ASSERT_EQ(window.VaultList()->count(), 1);
    EXPECT_EQ(window.GetItemImage(0), 1) << "the window lists the new vault open";

    VaultRecord v;
    ASSERT_TRUE(g_VaultCatalogue.FindByName(u"工作资料", v));
    EXPECT_EQ(v.Letter, u'Z');
    EXPECT_EQ(v.autoassign, 1);
    EXPECT_TRUE(IsVaultMounted(client_, v));
    EXPECT_EQ(std::filesystem::file_size(base_ + "/工作资料.lkb"), (20ull << 30) + 1024);
    const std::string drive = DriveHostFolder(u'Z');
    EXPECT_TRUE(ntfs_at(drive)) << read_text(log_);
    EXPECT_NE(read_text(base_ + "/Lockbin.xml").find("工作资料"), std::string::npos);

    // Close while a process works in the drive: the force question names it; No keeps it open.
    pid_t holder = fork();
    if (holder == 0) {
        if (::chdir(drive.c_str()) == 0)
            ::pause();
        _exit(1);
    }
    std::this_thread::sleep_for(200ms);
    window.VaultList()->item(0)->setSelected(true);
    window.OnCommand(gui::ID_VAULT_CLOSE);
    ASSERT_EQ(boxes_.Shown().size(), 2u);
    EXPECT_EQ(boxes_.Shown()[1].text,
              u"卸载保险箱失败!!(Volume=Z:), 是否强制卸载?\n强制卸载可能会导致尚未保存的数据丢失!");
    EXPECT_NE(boxes_.Shown()[1].detail.find(hostns::from_utf8(std::to_string(holder) + " ")),
              std::u16string::npos)
        << hostns::to_utf8(boxes_.Shown()[1].detail);
    EXPECT_TRUE(IsVaultMounted(client_, v));
    boxes_.SetNextAnswer(IDYES);
    window.OnCommand(gui::ID_VAULT_CLOSE);
    EXPECT_FALSE(IsVaultMounted(client_, v)) << read_text(log_);
    EXPECT_EQ(window.GetItemImage(0), 0);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);

    // Open with a wrong password, then the right one; the drive is shown in the file manager.
    boxes_.Clear();
    on_next_dialog([&](CDialog& dlg) {
        shot(dlg, "open-dialog.png");
        dlg.SetDlgItemText(kIdOpenPassword, u"passw0rd");
        dlg.Item<QPushButton>(IDOK)->click();
    });
    EXPECT_FALSE(gui::OpenVaultCommand(nullptr, u"工作资料"));
    EXPECT_EQ(boxes_.Texts(), std::vector<std::u16string>{u"密码错误, 打开保险箱失败!"});
    on_next_dialog([](CDialog& dlg) {
        dlg.SetDlgItemText(kIdOpenPassword, u"Passw0rd");
        dlg.Item<QPushButton>(IDOK)->click();
    });
    EXPECT_TRUE(gui::OpenVaultCommand(nullptr, u"工作资料"));
    EXPECT_TRUE(IsVaultMounted(client_, v)) << read_text(log_);
    EXPECT_NE(opened().find(drive), std::string::npos) << opened();

    // A second vault's properties do not offer Z, where the first is open.
    std::ofstream(base_ + "/其他.lkb") << "not read";
    boxes_.Clear();
    gui::CDlgImport import(nullptr);
    import.Create();
    import.show();
    pickers_.SetNextAnswer(dos_path(base_) + u"\\工作资料.lkb");
    import.OnBrowse();
    import.SetDlgItemText(kIdName, u"另一个");
    import.Item<QPushButton>(IDOK)->click();
    EXPECT_EQ(boxes_.Texts(),
              std::vector<std::u16string>{u"指定的保险箱已经在列表中，请不要重复导入!"});
    pickers_.SetNextAnswer(dos_path(base_) + u"\\其他.lkb");
    import.OnBrowse();
    import.SetDlgItemText(kIdDescription, u"二〇二六年项目文档");
    shot(import, "import-dialog.png");
    import.Item<QPushButton>(IDOK)->click();
    ASSERT_EQ(import.result(), IDOK);

    on_next_dialog([&](CDialog& dlg) {
        auto* letters = dlg.Item<QComboBox>(gui::IDC_LETTER);
        EXPECT_EQ(letters->findText("Z"), -1);
        EXPECT_EQ(letters->findText("Y"), letters->count() - 1);
        shot(dlg, "property-dialog.png");
        dlg.Item<QPushButton>(IDCANCEL)->click();
    });
    EXPECT_TRUE(gui::PropertiesCommand(nullptr, u"其他"));

    gui::CDlgSetting settings(nullptr);
    settings.Create();
    settings.show();
    EXPECT_EQ(settings.GetDlgItemText(kIdDefaultPath), dos_path(base_) + u"\\");
    ASSERT_GE(settings.DiskList()->topLevelItemCount(), 1);
    for (int row = 0; row < settings.DiskList()->topLevelItemCount(); ++row)
        EXPECT_NE(settings.DiskList()->topLevelItem(row)->text(0), "Z");
    shot(settings, "settings-dialog.png");

    ASSERT_TRUE(client_.DisMount(u'Z', true));
}

} // namespace
