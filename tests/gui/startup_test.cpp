#include "gui_fixture.h"

#include "gui/lockbin_app.h"
#include "gui/main_dlg.h"
#include "gui/message_box.h"

#include "disk_helpers.h"
#include "hostns/hostns.h"

#include <QListWidget>
#include <QTimer>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

namespace {

// Start-up in a folder of its own, with a fake updater first on the PATH that leaves a mark.
class StartupTest : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        const std::string bin = base_ + "/bin";
        std::filesystem::create_directories(bin);
        std::ofstream(bin + "/update") << "#!/bin/sh\ntouch " << base_ << "/updater-ran\n";
        chmod((bin + "/update").c_str(), 0755);
        old_path_ = getenv("PATH");
        setenv("PATH", (bin + ":" + old_path_).c_str(), 1);
        // The vault drive E: is a folder of the test (the user's drives file).
        std::filesystem::create_directories(base_ + "/edrive");
        std::ofstream(base_ + "/config/lockbin/drives") << "D: none\nE: " << base_ << "/edrive\n";
        app_.commandLine = u"C:\\usr\\bin\\Lockbin";
        app_.withNews = false;
        app_.onMainWindow = [this](CMainDlg& dlg) {
            ++mainWindows_;
            QTimer::singleShot(0, &dlg, [this, &dlg] {
                shownItems_ = dlg.VaultList()->count();
                dlg.close();
            });
        };
        g_RunCreateVaultDialog = nullptr;
    }
    void TearDown() override
    {
        app_.ExitInstance();
        g_RunCreateVaultDialog = nullptr;
        setenv("PATH", old_path_.c_str(), 1);
        GuiTest::TearDown();
    }

    bool updater_ran()
    {
        for (int i = 0; i < 200; ++i) {
            if (std::filesystem::exists(base_ + "/updater-ran"))
                return true;
            usleep(10000);
        }
        return false;
    }

    CLockbinApp app_;
    int mainWindows_ = 0;
    int shownItems_ = -1;
    std::string old_path_;
};

TEST_F(StartupTest, WithoutTheDriverItSaysSoEvenWithoutTheFile)
{
    gui::MessageBoxHook boxes;
    EXPECT_FALSE(app_.InitInstance());
    ASSERT_EQ(boxes.Shown().size(), 1u);
    EXPECT_EQ(boxes.Shown()[0].text, u"保险箱驱动不存在!");
    EXPECT_EQ(boxes.Shown()[0].caption, u"错误");
    EXPECT_EQ(boxes.Shown()[0].owner, nullptr);
    EXPECT_EQ(boxes.Shown()[0].type, UINT(MB_OK | MB_ICONERROR));
    EXPECT_EQ(mainWindows_, 0);
    // The updater was started before the check (directly as root; a user's pkexec has no
    // authority to ask on this machine, and its refusal changes nothing).
    if (geteuid() == 0) {
        EXPECT_TRUE(updater_ran());
    }
}

TEST_F(StartupTest, WithTheDriverButWithoutTheFile)
{
    start_driver();
    gui::MessageBoxHook boxes;
    EXPECT_FALSE(app_.InitInstance());
    EXPECT_EQ(boxes.Texts(), std::vector<std::u16string>{u"配置文件读取失败!"});
    EXPECT_EQ(boxes.Shown()[0].caption, u"错误");
    EXPECT_EQ(mainWindows_, 0);
}

TEST_F(StartupTest, RunsTheMainWindowAndMakesTheDefaultFolderEachTime)
{
    start_driver();
    ASSERT_EQ(ChooseDefaultDisk(), u'E') << "the test's own drive must be the choice";
    write_config(vault("甲", "E:\\a.lkb", "", 1));
    gui::MessageBoxHook boxes;
    EXPECT_FALSE(app_.InitInstance());
    EXPECT_TRUE(boxes.Shown().empty());
    EXPECT_EQ(mainWindows_, 1);
    EXPECT_EQ(shownItems_, 1);
    EXPECT_EQ(g_VaultCatalogue.DefaultPath, u"E:\\Lockbin");
    EXPECT_TRUE(std::filesystem::is_directory(base_ + "/edrive/Lockbin"));
    // Not saved by start-up: the file still has no default folder.
    std::ifstream in(work_ + "/Lockbin.xml");
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("<DefaultPath></DefaultPath>"), std::string::npos);
}

TEST_F(StartupTest, ASecondCopyRaisesTheFirstAndEnds)
{
    start_driver();
    write_config("");
    HANDLE first = CreateMutexW(nullptr, FALSE, kLockbinMutexName);
    ASSERT_NE(first, nullptr);
    static bool raised;
    raised = false;
    HWND window = LockbinPublishWindow(
        gui::kMainWindowTitle, [](void*) { raised = true; }, nullptr);
    ASSERT_NE(window, nullptr);
    gui::MessageBoxHook boxes;
    EXPECT_FALSE(app_.InitInstance());
    EXPECT_TRUE(raised);
    EXPECT_EQ(mainWindows_, 0);
    EXPECT_TRUE(boxes.Shown().empty());
    LockbinWithdrawWindow(window);
    CloseHandle(first);
}

TEST_F(StartupTest, CreateDefaultRunsTheCreateDialogFirst)
{
    start_driver();
    write_config("");
    std::vector<QWidget*> owners;
    int answer = IDCANCEL;
    g_RunCreateVaultDialog = [&](QWidget* owner) {
        owners.push_back(owner);
        return answer;
    };
    app_.commandLine = u"\"C:\\Program Files\\Lockbin\" /CreateDefault";
    EXPECT_FALSE(app_.InitInstance());
    EXPECT_EQ(owners, std::vector<QWidget*>{nullptr});
    EXPECT_EQ(mainWindows_, 0) << "a cancelled create ends the program";
    // The mutex was never taken.
    EXPECT_EQ(app_.m_hMutex, nullptr);

    answer = IDOK;
    EXPECT_FALSE(app_.InitInstance());
    EXPECT_EQ(owners.size(), 2u);
    EXPECT_EQ(mainWindows_, 1);
}

TEST(CreateDefaultSwitch, OnlyTheExactLastArgumentWithinTheFirst259Characters)
{
    EXPECT_TRUE(HasCreateDefaultSwitch(u"C:\\Lockbin.exe /CreateDefault"));
    EXPECT_FALSE(HasCreateDefaultSwitch(u"C:\\Lockbin.exe /createdefault"));
    EXPECT_FALSE(HasCreateDefaultSwitch(u"C:\\Lockbin.exe /CreateDefault "));
    EXPECT_FALSE(HasCreateDefaultSwitch(u"C:\\Lockbin.exe /CreateDefault /x"));
    EXPECT_FALSE(HasCreateDefaultSwitch(u"C:\\Lockbin.exe"));
    // The switch must end within the copy's 259 characters.
    const std::u16string switchText = u" /CreateDefault";
    const std::u16string fits = std::u16string(259 - switchText.size(), u'p') + switchText;
    EXPECT_TRUE(HasCreateDefaultSwitch(fits.c_str()));
    const std::u16string cut = u"p" + fits;
    EXPECT_FALSE(HasCreateDefaultSwitch(cut.c_str()));
}

} // namespace

namespace {

// The launcher of the build tree, started with its own data home; the program it starts is
// stopped again once it runs in the data folder (without a service it would wait on its box).
class LauncherTest : public GuiTest {
protected:
    pid_t launch(const std::string& dataHome)
    {
        pid_t child = fork();
        if (child == 0) {
            setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            setenv("PATH", "/usr/bin:/bin", 1);
            // The updater it starts finds no server and ends.
            setenv("LOCKBIN_SERVER", "http://127.0.0.1:9", 1);
            execl("/bin/sh", "sh", LOCKBIN_LAUNCHER, static_cast<char*>(nullptr));
            _exit(127);
        }
        return child;
    }
    // Waits until the launched process runs the program in `folder`, then stops it.
    bool ran_in(pid_t child, const std::string& folder)
    {
        bool found = false;
        for (int i = 0; i < 500 && !found; ++i) {
            std::error_code ec;
            found = std::filesystem::read_symlink("/proc/" + std::to_string(child) + "/exe", ec)
                            .filename() == "Lockbin" &&
                    std::filesystem::read_symlink("/proc/" + std::to_string(child) + "/cwd", ec) ==
                        folder;
            if (!found)
                usleep(10000);
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        return found;
    }
};

TEST_F(LauncherTest, MakesAPrivateDataFolderWithAFirstConfigurationAndKeepsAnExistingOne)
{
    const std::string folder = base_ + "/data/lockbin";
    ASSERT_TRUE(ran_in(launch(base_ + "/data"), folder));
    EXPECT_EQ(std::filesystem::status(folder).permissions(), std::filesystem::perms::owner_all);
    ASSERT_TRUE(g_VaultCatalogue.LoadConfig(hostns::from_utf8(folder + "/Lockbin.xml")));
    EXPECT_EQ(g_VaultCatalogue.fmtver, 1);
    EXPECT_EQ(g_VaultCatalogue.NotRemind, 0);
    EXPECT_EQ(g_VaultCatalogue.DefaultPath, u"");
    EXPECT_EQ(g_VaultCatalogue.GetCount(), 0u);

    std::ofstream(folder + "/Lockbin.xml") << "mine";
    ASSERT_TRUE(ran_in(launch(base_ + "/data"), folder));
    std::ifstream in(folder + "/Lockbin.xml");
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "mine");
}

} // namespace
