// The vault dialogs and commands offscreen, beside a fake control device: what each shows (text,
// icon, caption, buttons), where the focus goes, when a dialog ends and with what. The checks
// themselves are the operations' and are tested there.
#include "ops_fixture.h"

#include "gui/message_box.h"
#include "gui/pickers.h"
#include "gui/vault_dialogs.h"

#include "disk_helpers.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <sys/stat.h>

#include <filesystem>
#include <functional>

namespace {

using gui::CDialog;

class VaultDialogs : public OpsTest {
protected:
    void SetUp() override
    {
        OpsTest::SetUp();
        reset_catalogue();
        // The shell's opener and the file manager's D-Bus call do nothing here.
        const std::string bin = base_ + "/bin";
        std::filesystem::create_directories(bin);
        for (const char* tool : {"xdg-open", "gdbus"}) {
            const std::string path = bin + "/" + tool;
            std::ofstream(path) << "#!/bin/sh\nexit 0\n";
            ::chmod(path.c_str(), 0755);
        }
        old_path_ = getenv("PATH");
        setenv("PATH", (bin + ":" + old_path_).c_str(), 1);
    }
    void TearDown() override
    {
        setenv("PATH", old_path_.c_str(), 1);
        reset_catalogue();
        OpsTest::TearDown();
    }

    static void reset_catalogue()
    {
        std::vector<std::u16string> names;
        for (const VaultRecord& v : g_VaultCatalogue)
            names.push_back(v.Name);
        for (const std::u16string& name : names)
            g_VaultCatalogue.RemoveVault(name);
        g_VaultCatalogue.DefaultPath.clear();
    }

    // Runs `act` on the next modal dialog once its loop runs (the dialog a command opens).
    static void on_next_dialog(std::function<void(CDialog&)> act)
    {
        QTimer::singleShot(0, [act] {
            auto* dlg = qobject_cast<CDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(dlg, nullptr);
            act(*dlg);
        });
    }
    static void type(CDialog& dlg, int id, const char16_t* text) { dlg.SetDlgItemText(id, text); }
    static void click(CDialog& dlg, int id) { dlg.Item<QPushButton>(id)->click(); }
    static bool has_focus(CDialog& dlg, int id)
    {
        // Offscreen no window is active: the widget that holds the dialog's focus.
        return dlg.focusWidget() == dlg.GetDlgItem(id);
    }
    void add_vault(const std::u16string& name, const std::u16string& path, WCHAR letter,
                   int autoassign)
    {
        g_VaultCatalogue.AddVault(name, path, autoassign, letter, 0, u"");
    }

    gui::MessageBoxHook boxes_;
    gui::PickerHook pickers_;
    std::string old_path_;
};

TEST_F(VaultDialogs, PasswordDialogRefusesAnEmptyPasswordAndStaysOpen)
{
    gui::CDlgOpen dlg(u"甲", u"C:\\甲.lkb", nullptr);
    dlg.Create();
    dlg.show();
    EXPECT_EQ(dlg.GetDlgItem(IDCANCEL), nullptr);
    click(dlg, IDOK);
    ASSERT_EQ(boxes_.Shown().size(), 1u);
    EXPECT_EQ(boxes_.Shown()[0].text, u"密码不能为空!");
    EXPECT_EQ(boxes_.Shown()[0].type, UINT(MB_OK));
    EXPECT_EQ(boxes_.Shown()[0].caption, u"Lockbin");
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(has_focus(dlg, kIdOpenPassword));
    type(dlg, kIdOpenPassword, u"密码abc");
    click(dlg, IDOK);
    EXPECT_EQ(dlg.result(), IDOK);
    EXPECT_EQ(dlg.Password(), u"密码abc");
}

TEST_F(VaultDialogs, OpenRefusedByTheDriverSaysWrongPasswordAndShowsNoDrive)
{
    add_vault(u"甲", dos(base_ + "/甲.lkb"), u'K', 1);
    device_->set_reply(kMountExistDisk, {kStatusUnsuccessful, 0, {}});
    on_next_dialog([](CDialog& dlg) {
        EXPECT_EQ(dlg.TemplateId(), gui::IDD_OPEN);
        type(dlg, kIdOpenPassword, u"wrong");
        click(dlg, IDOK);
    });
    EXPECT_FALSE(gui::OpenVaultCommand(nullptr, u"甲"));
    ASSERT_EQ(boxes_.Texts(), std::vector<std::u16string>{u"密码错误, 打开保险箱失败!"});
    EXPECT_EQ(boxes_.Shown()[0].type, UINT(MB_OK | MB_ICONERROR));
    EXPECT_EQ(requests_of(kMountExistDisk).size(), 1u);

    // Cancelling the password dialog sends nothing.
    on_next_dialog([](CDialog& dlg) { dlg.close(); });
    EXPECT_FALSE(gui::OpenVaultCommand(nullptr, u"甲"));
    EXPECT_EQ(requests_of(kMountExistDisk).size(), 1u);
}

TEST_F(VaultDialogs, CloseAsksToForceWithoutIconAndReportsAFailedForce)
{
    add_vault(u"甲", dos(base_ + "/甲.lkb"), u'K', 0);
    report_volume(u'K', dos(base_ + "/甲.lkb"));
    device_->set_reply(kDismount, {kStatusUnsuccessful, 0, {}});

    EXPECT_TRUE(gui::CloseVaultCommand(nullptr, u"甲")); // No: refreshed, still open
    ASSERT_EQ(boxes_.Shown().size(), 1u);
    EXPECT_EQ(boxes_.Shown()[0].text,
              u"卸载保险箱失败!!(Volume=K:), 是否强制卸载?\n强制卸载可能会导致尚未保存的数据丢失!");
    EXPECT_EQ(boxes_.Shown()[0].type, UINT(MB_YESNO));
    EXPECT_EQ(boxes_.Shown()[0].caption, u"Lockbin");
    EXPECT_EQ(requests_of(kDismount).size(), 1u);

    boxes_.Clear();
    boxes_.SetNextAnswer(IDYES);
    EXPECT_FALSE(gui::CloseVaultCommand(nullptr, u"甲"));
    ASSERT_EQ(boxes_.Shown().size(), 2u);
    EXPECT_EQ(boxes_.Shown()[1].text, u"强制卸载保险箱失败!!(Volume=K:)!!");
    EXPECT_EQ(boxes_.Shown()[1].type, UINT(MB_OK));
    EXPECT_EQ(requests_of(kDismount).size(), 3u);
}

TEST_F(VaultDialogs, DestroyAsksTwiceThenRemovesRecordAndFile)
{
    const std::string file = base_ + "/甲.lkb";
    std::ofstream(file) << "container";
    add_vault(u"甲", dos(file), u'K', 0);

    boxes_.SetNextAnswer(IDYES);
    boxes_.SetNextAnswer(IDYES);
    EXPECT_TRUE(gui::DestroyVaultCommand(nullptr, u"甲"));
    EXPECT_EQ(boxes_.Texts(), (std::vector<std::u16string>{
                                  u"确认要销毁保险箱 [甲] 吗?\n注意: 保险箱中的所有数据都将被销毁!",
                                  u"请再次确认要销毁保险箱 [甲]!"}));
    for (const auto& box : boxes_.Shown()) {
        EXPECT_EQ(box.type, UINT(MB_YESNO));
        EXPECT_EQ(box.caption, u"Lockbin");
    }
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(g_VaultCatalogue.GetCount(), 0u);
}

TEST_F(VaultDialogs, PropertiesOfferFreeLettersOnlyAndKeepAFixedLetterThatIsTaken)
{
    use_letter(u'F');
    add_vault(u"甲", dos(base_ + "/甲.lkb"), u'F', 0);
    g_VaultCatalogue.UpdateProperties(u"甲", 0, u'F', 1, u"第一行");
    on_next_dialog([](CDialog& dlg) {
        auto* letters = dlg.Item<QComboBox>(gui::IDC_LETTER);
        EXPECT_EQ(letters->itemText(0), QString::fromStdU16String(u"自动分配"));
        EXPECT_EQ(letters->findText("F"), -1);
        EXPECT_EQ(letters->findText("D"), 1);
        EXPECT_EQ(letters->currentIndex(), -1);
        EXPECT_EQ(dlg.Item<QComboBox>(gui::IDC_LOAD_MODE)->currentIndex(), 1);
        EXPECT_EQ(dlg.GetDlgItemText(gui::IDC_LOAD_HINT), u"");
        // Enter appends a line break at the end, wherever the caret is, and closes nothing.
        auto* description = dlg.Item<QPlainTextEdit>(kIdDescription);
        description->setFocus();
        description->moveCursor(QTextCursor::Start);
        QTest::keyClick(description, Qt::Key_Return);
        EXPECT_TRUE(dlg.isVisible());
        description->insertPlainText("第二行");
        click(dlg, IDOK);
    });
    EXPECT_TRUE(gui::PropertiesCommand(nullptr, u"甲"));
    VaultRecord v;
    ASSERT_TRUE(g_VaultCatalogue.FindByName(u"甲", v));
    EXPECT_EQ(v.autoassign, 0);
    EXPECT_EQ(v.Letter, u'F');
    EXPECT_EQ(v.Description, u"第一行\r\n第二行");
    EXPECT_NE(config_text().find("第一行"), std::string::npos);
}

TEST_F(VaultDialogs, ImportPicksAFileAndShowsRefusalsWithTheDefaultCaption)
{
    std::filesystem::create_directories(base_ + "/folder.lkb");
    const std::string file = base_ + "/旧资料.lkb";
    std::ofstream(file) << "any bytes";

    gui::CDlgImport dlg(nullptr);
    dlg.Create();
    dlg.show();
    EXPECT_TRUE(has_focus(dlg, kIdPath));
    EXPECT_EQ(dlg.GetDlgItemText(gui::IDC_LOAD_HINT), u"仅当记住密码时有效");

    pickers_.SetNextAnswer(dos(base_ + "/folder.lkb"));
    dlg.OnBrowse();
    ASSERT_EQ(pickers_.Shown().size(), 1u);
    EXPECT_EQ(pickers_.Shown()[0].kind, gui::PickerKind::open_file);
    EXPECT_EQ(pickers_.Shown()[0].title, u"请选择已经存在的保险箱");
    EXPECT_EQ(pickers_.Shown()[0].filter, u"岚泽禾保险箱文件(*.lkb);;所有文件(*.*)");
    EXPECT_EQ(dlg.GetDlgItemText(kIdName), u"folder");
    dlg.GetDlgItem(kIdName)->setFocus();
    click(dlg, IDOK);
    ASSERT_EQ(boxes_.Texts(),
              std::vector<std::u16string>{u"指定的保险箱文件路径不存在, 请重新指定!"});
    EXPECT_EQ(boxes_.Shown()[0].caption, gui::kDefaultCaption);
    EXPECT_EQ(boxes_.Shown()[0].type, UINT(MB_OK | MB_ICONERROR));
    EXPECT_TRUE(has_focus(dlg, kIdPath));
    EXPECT_TRUE(dlg.isVisible());

    pickers_.SetNextAnswer(dos(file));
    dlg.OnBrowse();
    EXPECT_EQ(dlg.GetDlgItemText(kIdName), u"旧资料");
    dlg.Item<QComboBox>(gui::IDC_LETTER)->setCurrentIndex(2); // E
    click(dlg, IDOK);
    EXPECT_EQ(dlg.result(), IDOK);
    VaultRecord v;
    ASSERT_TRUE(g_VaultCatalogue.FindByName(u"旧资料", v));
    EXPECT_EQ(v.autoassign, 0);
    EXPECT_EQ(v.Letter, u'E');
}

TEST_F(VaultDialogs, SettingsListFixedDisksAndAskBeforeMakingTheFolder)
{
    g_VaultCatalogue.DefaultPath = u"C:\\tmp";
    gui::CDlgSetting dlg(nullptr);
    dlg.Create();
    dlg.show();
    EXPECT_EQ(dlg.GetDlgItemText(kIdDefaultPath), u"C:\\tmp\\");
    // C: is the host's root; D: is none here, so C: is the only local disk.
    QTreeWidget* disks = dlg.DiskList();
    ASSERT_EQ(disks->topLevelItemCount(), 1);
    QTreeWidgetItem* c = disks->topLevelItem(0);
    EXPECT_EQ(c->text(0), "C");
    EXPECT_EQ(c->text(1), QString::fromStdU16String(u"本地磁盘"));
    EXPECT_FALSE(c->icon(0).isNull());
    EXPECT_EQ(c->text(3), QString::fromStdU16String(IsNtfsVolume(u'C') ? u"推荐" : u""));
    EXPECT_EQ(disks->headerItem()->text(3), QString::fromStdU16String(u"是否推荐"));

    const std::u16string folder = dos(base_ + "/新目录");
    dlg.SetDlgItemText(kIdDefaultPath, folder);
    click(dlg, IDOK); // No
    ASSERT_EQ(boxes_.Texts(),
              std::vector<std::u16string>{u"保险箱默认存放路径不存在，是否创建该目录?"});
    EXPECT_EQ(boxes_.Shown()[0].type, UINT(MB_YESNO | MB_ICONQUESTION));
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(has_focus(dlg, kIdDefaultPath));
    EXPECT_FALSE(std::filesystem::exists(base_ + "/新目录"));

    boxes_.SetNextAnswer(IDYES);
    click(dlg, IDOK);
    EXPECT_EQ(dlg.result(), IDOK);
    EXPECT_TRUE(std::filesystem::is_directory(base_ + "/新目录"));
    EXPECT_EQ(g_VaultCatalogue.DefaultPath, folder);
}

TEST_F(VaultDialogs, NewDialogProposesItsValuesAndThePathFollowsTheName)
{
    add_vault(u"甲", dos(base_ + "/甲.lkb"), u'K', 1);
    g_VaultCatalogue.DefaultPath = dos(base_);
    gui::CDlgNew dlg(nullptr);
    dlg.Create();
    dlg.show();
    EXPECT_EQ(dlg.GetDlgItemText(kIdName), u"默认保险箱2");
    EXPECT_EQ(dlg.GetDlgItemText(kIdDescription), u"默认保险箱2");
    EXPECT_EQ(dlg.GetDlgItemText(kIdPath), dos(base_) + u"\\默认保险箱2.lkb");
    EXPECT_EQ(dlg.GetDlgItemText(kIdSize), InitialSizeText(dos(base_)));
    EXPECT_TRUE(has_focus(dlg, kIdName));
    dlg.Item<QLineEdit>(kIdName)->setText("");
    EXPECT_EQ(dlg.GetDlgItemText(kIdPath), dos(base_) + u"\\");
    dlg.Item<QLineEdit>(kIdName)->setText("x.lkb");

    pickers_.SetNextAnswer(u"C:\\tmp\\\\");
    dlg.OnBrowse();
    EXPECT_EQ(pickers_.Shown()[0].title, u"选择新建保险箱路径");
    EXPECT_EQ(dlg.GetDlgItemText(kIdPath), u"C:\\tmp\\x.lkb");

    // A refusal: the message with the default caption, the focus on its field, nothing sent.
    dlg.SetDlgItemText(kIdSize, u"0");
    click(dlg, IDOK);
    ASSERT_EQ(boxes_.Texts(), std::vector<std::u16string>{u"保险箱大小不能为空!"});
    EXPECT_EQ(boxes_.Shown()[0].caption, gui::kDefaultCaption);
    EXPECT_TRUE(has_focus(dlg, kIdSize));
    EXPECT_TRUE(requests_of(kMountNewDisk).empty());
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(VaultDialogs, NewDialogAfterTheMountBacksUpThenReportsAFailedFormatAndEndsWithOk)
{
    g_VaultCatalogue.DefaultPath = dos(base_);
    gui::CDlgNew dlg(nullptr);
    dlg.Create();
    dlg.show();
    dlg.SetDlgItemText(kIdSize, u"1");
    dlg.SetDlgItemText(kIdPassword, u"秘密1234");
    dlg.SetDlgItemText(kIdConfirm, u"秘密1234");
    boxes_.SetNextAnswer(IDYES); // the backup question
    pickers_.SetNextAnswer(dos(base_));
    click(dlg, IDOK);

    ASSERT_EQ(requests_of(kMountNewDisk).size(), 1u);
    EXPECT_EQ(g_VaultCatalogue.GetCount(), 1u);
    for (int id : {kIdName, kIdPath, kIdSize, kIdDescription, int(gui::IDC_LETTER),
                   int(gui::IDC_LOAD_MODE), int(gui::IDC_BROWSE), IDOK, kIdPassword, kIdConfirm})
        EXPECT_FALSE(dlg.GetDlgItem(id)->isEnabled()) << id;
    ASSERT_GE(boxes_.Shown().size(), 2u);
    EXPECT_EQ(boxes_.Shown()[0].caption, u"备份保险箱密码");
    EXPECT_EQ(boxes_.Shown()[0].type, UINT(MB_YESNO | MB_ICONQUESTION));
    EXPECT_EQ(pickers_.Shown()[0].title, u"请选择保险箱密码备份保存位置");
    const std::u16string backup = dos(base_) + u"\\默认保险箱1.lkbkey";
    EXPECT_EQ(boxes_.Shown()[1].text, u"密码成功备份到 " + backup + u"，请妥善保管!");
    EXPECT_EQ(boxes_.Shown()[1].type, UINT(MB_OK));
    EXPECT_EQ(std::filesystem::file_size(base_ + "/默认保险箱1.lkbkey"), 512u + 2 * 6);

    // The fake driver made no drive, so every attempt fails: the dialog says so and may close.
    QTRY_VERIFY_WITH_TIMEOUT(dlg.GetDlgItem(IDCANCEL)->isEnabled(), 20000);
    EXPECT_FALSE(dlg.FormatTimerActive());
    EXPECT_EQ(boxes_.Shown().back().text, FormatFailedMessage);
    EXPECT_EQ(boxes_.Shown().back().type, UINT(MB_OK | MB_ICONERROR));
    click(dlg, IDCANCEL);
    EXPECT_EQ(dlg.result(), IDOK);
}

TEST_F(VaultDialogs, FormatTimerShowsProgressThenFinishesWithOk)
{
    gui::CDlgNew dlg(nullptr);
    dlg.Create();
    dlg.Progress().percent = 40;
    dlg.OnFormatTimer();
    const int shown = dlg.Item<QProgressBar>(gui::IDC_PROGRESS)->value();
    EXPECT_GE(shown, 40);
    EXPECT_EQ(dlg.GetDlgItemText(gui::IDC_STATUS),
              u"格式化进度: " + std::u16string(QString::number(shown).toStdU16String()) + u"%");
    dlg.Progress().percent = 100;
    dlg.OnFormatTimer();
    EXPECT_EQ(dlg.GetDlgItemText(gui::IDC_STATUS), u"格式化完成");
    EXPECT_EQ(dlg.Item<QProgressBar>(gui::IDC_PROGRESS)->value(), 100);
    EXPECT_EQ(dlg.result(), IDOK);
}

} // namespace
