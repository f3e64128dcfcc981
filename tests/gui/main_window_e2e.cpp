// The main window against the real service: a mounted vault shows open with its letter and size.
// With LOCKBIN_SCREENSHOTS=FOLDER (scripts/screenshots, under Xvfb) it also saves pictures of the
// main window and the news window there.
#include "../driverclient/service_fixture.h"

#include "gui/main_dlg.h"
#include "gui/popup_index.h"

#include "common/sys_utils.h"
#include "vault_catalogue.h"

#include <QApplication>
#include <QGuiApplication>
#include <QListWidget>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <filesystem>

namespace {

using service_fixture::read_text;
using service_fixture::ServiceTest;

class MainWindowService : public ServiceTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "mounting a vault needs root and /dev/fuse";
        ServiceTest::SetUp();
        if (IsSkipped() || HasFailure())
            return;
        char cwd[4096];
        old_cwd_ = getcwd(cwd, sizeof cwd) ? cwd : "/";
        std::filesystem::create_directories(base_ + "/work");
        ASSERT_EQ(chdir((base_ + "/work").c_str()), 0);
    }
    void TearDown() override
    {
        if (!old_cwd_.empty())
            (void)!chdir(old_cwd_.c_str());
        ServiceTest::TearDown();
    }

    std::string narrow(const std::u16string& text)
    {
        return QString::fromStdU16String(text).toStdString();
    }

    std::string old_cwd_;
};

TEST_F(MainWindowService, AMountedVaultShowsOpenWithItsLetterAndSize)
{
    std::vector<BYTE> key(128, 0);
    for (int i = 0; i < 20; ++i)
        key[i] = BYTE(0x52 + 3 * i);
    const ULONGLONG diskSize = 16ull << 20;
    const std::string open = base_ + "/我的保险箱.lkb", closed = base_ + "/工作资料.lkb";
    const WCHAR letter = client_.FindFreeLetter(true);
    const WCHAR other = client_.FindFreeLetter(false);
    ASSERT_NE(letter, 0);
    ASSERT_NE(other, letter);
    // The closed vault is a real container too, made and closed again.
    ASSERT_TRUE(client_.MountNewDisk(other, dos_path(closed), DWORD(diskSize), 0, false, true,
                                     key.data(), 128, true))
        << read_text(log_);
    ASSERT_TRUE(client_.DisMount(other, false)) << read_text(log_);
    ASSERT_TRUE(client_.MountNewDisk(letter, dos_path(open), DWORD(diskSize), 0, false, true,
                                     key.data(), 128, true))
        << read_text(log_);

    std::ofstream(base_ + "/work/Lockbin.xml")
        << "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update fmtver=\"1\"><Config>"
        << "<NotRemind>0</NotRemind><DefaultPath>D:\\Lockbin</DefaultPath></Config><LockbinList>"
        << "<Lockbin loadtype=\"0\"><Name>我的保险箱</Name><Path>" << narrow(dos_path(open))
        << "</Path><Description>合同与报价单</Description><Letter autoassign=\"1\">"
        << narrow(std::u16string(1, letter)) << "</Letter><Password remember=\"0\"/></Lockbin>"
        << "<Lockbin loadtype=\"0\"><Name>工作资料</Name><Path>" << narrow(dos_path(closed))
        << "</Path><Description>二〇二六年项目文档</Description><Letter autoassign=\"0\">"
        << narrow(std::u16string(1, other)) << "</Letter><Password remember=\"0\"/></Lockbin>"
        << "</LockbinList></update>\n";
    ASSERT_TRUE(g_VaultCatalogue.LoadConfig(kConfigFileName));

    const char* shots = getenv("LOCKBIN_SCREENSHOTS");
    CMainDlg dlg(shots != nullptr);
    dlg.Create();
    ASSERT_EQ(dlg.VaultList()->count(), 2);
    EXPECT_EQ(dlg.GetItemImage(0), 1);
    EXPECT_EQ(dlg.GetItemImage(1), 0);
    dlg.VaultList()->item(1)->setSelected(true);
    EXPECT_EQ(dlg.GetDlgItemText(gui::IDC_INFO_STATE), u"关闭");
    EXPECT_EQ(dlg.GetDlgItemText(gui::IDC_INFO_LETTER), std::u16string(1, other));
    // A closed vault's size is its container's: the disk and two hidden sectors.
    EXPECT_EQ(dlg.GetDlgItemText(gui::IDC_INFO_SIZE), FormatByteSize(diskSize + 1024));
    dlg.VaultList()->item(0)->setSelected(true);
    EXPECT_EQ(dlg.GetDlgItemText(gui::IDC_INFO_NAME), u"我的保险箱");
    EXPECT_EQ(dlg.GetDlgItemText(gui::IDC_INFO_STATE), u"打开");
    EXPECT_EQ(dlg.GetDlgItemText(gui::IDC_INFO_LETTER),
              u"自动分配(" + std::u16string(1, letter) + u")");
    EXPECT_EQ(dlg.GetDlgItemText(gui::IDC_INFO_SIZE), u"16.0(M)");

    if (shots) {
        dlg.show();
        CDlgPopupIndex* news = dlg.NewsWindow();
        QSignalSpy loaded(news, &CDlgPopupIndex::newsLoaded);
        loaded.wait(15000);
        QTest::qWait(1500); // the page paints after it has loaded
        const std::string folder = shots;
        // The main window draws itself; the news window is taken from the screen, on top.
        news->raise();
        QTest::qWait(300);
        EXPECT_TRUE(dlg.grab().save(QString::fromStdString(folder + "/main-window.png")));
        QScreen* screen = QGuiApplication::primaryScreen();
        EXPECT_TRUE(screen->grabWindow(news->winId())
                        .save(QString::fromStdString(folder + "/news-window.png")));
    }

    ASSERT_TRUE(client_.DisMount(letter, false)) << read_text(log_);
    dlg.RefreshVaultList();
    EXPECT_EQ(dlg.GetItemImage(0), 0);
}

} // namespace
