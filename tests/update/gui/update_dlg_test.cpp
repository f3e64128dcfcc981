// The updater's window and start, offscreen, against the local web server; message boxes are
// answered by the hook.
#include "local_server.h"
#include "signing.h"
#include "update_app.h"
#include "update_check.h"

#include "gui/message_box.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

namespace {

std::vector<std::string> g_started;
bool RecordStart(const std::string& path)
{
    g_started.push_back(path);
    return true;
}

std::u16string Text(CUpdateDlg& dialog, int id)
{
    return dialog.GetDlgItemText(id);
}

class UpdateDlgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SERVER();
        char dir[] = "/tmp/lockbin-updater-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        target = dir;
        std::ofstream(target + "/LockbinSetup.exe") << "old setup";
        setup = std::string(200000, 'u');
        server.Put("lockbin/lockbinsetup.exe", setup);
        server.Put("lockbin/lockbinsetup.exe.sig", signer.Sign(setup));
        config.download.baseUrl = server.Base();
        config.download.targetFolder = target;
        config.download.keysFile = keys.Path();
        config.download.startDelayMs = 0;
        config.latestVersion = [] { return 2001u; };
        config.start = &RecordStart;
        g_started.clear();
    }
    void TearDown() override
    {
        if (!target.empty())
            std::filesystem::remove_all(target);
    }
    void Upgrade(CUpdateDlg& dialog) { dialog.Item<QPushButton>(IDOK)->click(); }

    const LocalServer& server = LocalServer::Get();
    TestSigner signer;
    KeysFile keys{signer.PublicHex() + "\n"};
    UpdateConfig config;
    std::string target, setup;
    gui::MessageBoxHook boxes;
};

TEST_F(UpdateDlgTest, WindowShowsTheTemplateAndBothVersions)
{
    config.latestVersion = [] { return 12345u; };
    CUpdateDlg dialog(config);
    ASSERT_TRUE(dialog.Create());
    EXPECT_EQ(gui::ToU16(dialog.windowTitle()), u"岚泽禾zavor更新程序");
    EXPECT_EQ(dialog.TemplateId(), 102);
    EXPECT_EQ(Text(dialog, CUpdateDlg::IDC_CURRENT_VERSION), u"2.0.00");
    EXPECT_EQ(Text(dialog, CUpdateDlg::IDC_LATEST_VERSION), u"1.2.34");
    EXPECT_EQ(Text(dialog, IDOK), u"升级");
    auto* about = dialog.findChild<QAction*>(QStringLiteral("16"));
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(gui::ToU16(about->text()), u"关于 update(&A)...");
}

TEST_F(UpdateDlgTest, NotFoundFailsWithTheConnectingTextStillShown)
{
    server.Remove("lockbin/lockbinsetup.exe");
    CUpdateDlg dialog(config);
    ASSERT_TRUE(dialog.Create());
    dialog.show();
    Upgrade(dialog);
    EXPECT_FALSE(dialog.GetDlgItem(IDOK)->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.DownloadRunning(), 5000);
    QTRY_COMPARE(Text(dialog, CUpdateDlg::IDC_STATUS), std::u16string(kStatusConnecting));
    QApplication::processEvents();
    EXPECT_FALSE(dialog.GetDlgItem(IDOK)->isEnabled());
    EXPECT_TRUE(dialog.TimerActive());
    // The thread has ended: closing asks nothing.
    dialog.Item<QPushButton>(IDCANCEL)->click();
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_FALSE(dialog.isVisible());
}

TEST_F(UpdateDlgTest, VerifiedDownloadEndsDoneAndStartsTheSetup)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "a trusted keys file must belong to root: run the tests as root";
    CUpdateDlg dialog(config);
    ASSERT_TRUE(dialog.Create());
    Upgrade(dialog);
    QTRY_COMPARE_WITH_TIMEOUT(Text(dialog, CUpdateDlg::IDC_STATUS), std::u16string(kStatusDone),
                              5000);
    auto* bar = dialog.Item<QProgressBar>(CUpdateDlg::IDC_PROGRESS);
    EXPECT_EQ(bar->value(), 100);
    EXPECT_TRUE(dialog.GetDlgItem(IDOK)->isEnabled());
    QTRY_VERIFY(!dialog.DownloadRunning());
    EXPECT_EQ(g_started, (std::vector<std::string>{target + "/LockbinSetup.exe"}));

    // The next tick drops the bar to 0 and stops the timer; below 99 it climbs by one.
    ASSERT_TRUE(dialog.TimerActive());
    dialog.OnTimer();
    EXPECT_EQ(bar->value(), 0);
    EXPECT_FALSE(dialog.TimerActive());
    bar->setValue(98);
    dialog.OnTimer();
    dialog.OnTimer();
    EXPECT_EQ(bar->value(), 99);
}

TEST_F(UpdateDlgTest, ClosingDuringADownloadAsksAndNoKeepsItGoing)
{
    config.download.baseUrl = server.Base() + "/stall";
    CUpdateDlg dialog(config);
    ASSERT_TRUE(dialog.Create());
    dialog.show();
    Upgrade(dialog);
    QTRY_COMPARE_WITH_TIMEOUT(Text(dialog, CUpdateDlg::IDC_STATUS),
                              std::u16string(kStatusDownloading), 5000);

    boxes.SetNextAnswer(IDNO);
    dialog.Item<QPushButton>(IDCANCEL)->click();
    ASSERT_EQ(boxes.Shown().size(), 1u);
    EXPECT_EQ(boxes.Shown()[0].text, u"更新尚未完成，确定要退出吗?");
    EXPECT_EQ(boxes.Shown()[0].caption, u"退出更新");
    EXPECT_EQ(boxes.Shown()[0].type, UINT(MB_YESNO | MB_ICONQUESTION));
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.DownloadRunning());

    boxes.SetNextAnswer(IDYES);
    QTest::keyClick(&dialog, Qt::Key_Escape);
    EXPECT_EQ(boxes.Shown().size(), 2u);
    EXPECT_FALSE(dialog.isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.DownloadRunning(), 3000);
    EXPECT_TRUE(g_started.empty());
    std::ifstream old(target + "/LockbinSetup.exe");
    std::string content((std::istreambuf_iterator<char>(old)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "old setup");
}

// Counts the windows the start would show; a nested start stands for a second copy.
class CountingApp : public CUpdateApp {
public:
    using CUpdateApp::CUpdateApp;
    int shown = 0;
    std::function<void()> whileShown;

protected:
    int ShowDialog() override
    {
        ++shown;
        if (whileShown)
            whileShown();
        return IDCANCEL;
    }
};

TEST_F(UpdateDlgTest, StartShowsAWindowOnlyForANewerVersionAndOnlyOnce)
{
    // The mutex lives in the session folder of a private runtime folder.
    char root[] = "/tmp/lockbin-updroot-XXXXXX";
    ASSERT_NE(mkdtemp(root), nullptr);
    setenv("LOCKBIN_ROOT", root, 1);
    {
        config.latestVersion = [] { return 2000u; };
        CountingApp same(config);
        EXPECT_EQ(same.Run(), 0);
        EXPECT_EQ(same.shown, 0);
    }

    config.latestVersion = [] { return 2001u; };
    CountingApp newer(config);
    int secondShown = -1;
    newer.whileShown = [&] {
        CountingApp second(config);
        second.Run();
        secondShown = second.shown;
    };
    newer.Run();
    EXPECT_EQ(newer.shown, 1);
    EXPECT_EQ(secondShown, 0);
    unsetenv("LOCKBIN_ROOT");
    std::filesystem::remove_all(root);
}

} // namespace
