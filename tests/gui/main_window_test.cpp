#include "gui_fixture.h"

#include "gui/main_dlg.h"
#include "gui/message_box.h"

#include "controls/bc_menu.h"
#include "controls/button_st.h"
#include "controls/hyperlink.h"
#include "vault_state.h"

#include "hostns/hostns.h"

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

using namespace gui;

class MainWindowTest : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        start_driver();
        // Every letter the driver is asked about holds C:\...\a.lkb, 1 GiB.
        answer_queries(u"\\Device\\HarddiskVolume1" +
                           hostns::from_utf8(dos_of(host_a_path()).substr(2)),
                       1073741824);
        std::ofstream(base_ + "/c.lkb") << std::string(1048575, 'c');
        std::ofstream(base_ + "/d.lkb") << std::string(1048576, 'd');
        write_config(vault("甲", dos_of(host_a_path()), "E", 1, "第一个") +
                     vault("乙", dos_of(base_ + "/b.lkb"), "F", 0) +
                     vault("丙", dos_of(base_ + "/c.lkb"), "", 0) +
                     vault("丁", dos_of(base_ + "/d.lkb"), "", 1));
        ASSERT_TRUE(g_VaultCatalogue.LoadConfig(kConfigFileName));
        g_MainDlgOperations = {};
    }
    void TearDown() override
    {
        g_MainDlgOperations = {};
        GuiTest::TearDown();
    }

    std::string host_a_path() const { return base_ + "/a.lkb"; }

    std::u16string pane(CMainDlg& dlg, int id) { return dlg.GetDlgItemText(id); }

    void select(CMainDlg& dlg, int index) { dlg.VaultList()->item(index)->setSelected(true); }
};

TEST_F(MainWindowTest, ListAndPaneShowWhatTheDriverSays)
{
    CMainDlg dlg(false);
    dlg.Create();
    ASSERT_EQ(dlg.VaultList()->count(), 4);
    // Only the vault whose letter holds its own container is open; 乙's letter F holds 甲's.
    EXPECT_EQ(dlg.GetItemImage(0), 1);
    EXPECT_EQ(dlg.GetItemImage(1), 0);
    EXPECT_EQ(dlg.GetItemImage(2), 0);
    EXPECT_EQ(dlg.GetItemText(1), u"乙");

    select(dlg, 0);
    EXPECT_EQ(pane(dlg, IDC_INFO_NAME), u"甲");
    EXPECT_EQ(pane(dlg, IDC_INFO_STATE), u"打开");
    EXPECT_EQ(pane(dlg, IDC_INFO_LETTER), u"自动分配(E)");
    EXPECT_EQ(pane(dlg, IDC_INFO_SIZE), u"1.00(G)");
    EXPECT_EQ(pane(dlg, IDC_INFO_DESCRIPTION), u"第一个");

    // A letter held by another container: closed, but the size is that volume's.
    select(dlg, 1);
    EXPECT_EQ(pane(dlg, IDC_INFO_STATE), u"关闭");
    EXPECT_EQ(pane(dlg, IDC_INFO_LETTER), u"F");
    EXPECT_EQ(pane(dlg, IDC_INFO_SIZE), u"1.00(G)");

    // Without a letter the container file is measured.
    select(dlg, 2);
    EXPECT_EQ(pane(dlg, IDC_INFO_LETTER), u"");
    EXPECT_EQ(pane(dlg, IDC_INFO_SIZE), u"1023(K)");
    EXPECT_EQ(pane(dlg, IDC_INFO_DESCRIPTION), u"");
    select(dlg, 3);
    EXPECT_EQ(pane(dlg, IDC_INFO_LETTER), u"自动分配");
    EXPECT_EQ(pane(dlg, IDC_INFO_SIZE), u"1.0(M)");

    // A refresh keeps the selection; with the driver gone every vault shows closed and the
    // pane is written again from the reselected item.
    device_.reset();
    select(dlg, 0);
    dlg.RefreshVaultList();
    EXPECT_EQ(dlg.GetSelectedIndex(), 0);
    EXPECT_EQ(dlg.GetItemImage(0), 0);
    EXPECT_EQ(pane(dlg, IDC_INFO_STATE), u"关闭");
    EXPECT_EQ(pane(dlg, IDC_INFO_LETTER), u"自动分配");
}

TEST_F(MainWindowTest, TemplateControlsAndTheirTakenOverKinds)
{
    CMainDlg dlg(false);
    dlg.Create();
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("岚泽禾zavor系统软件 V2.0"));
    EXPECT_EQ(dlg.size(), dlg.MapDialogRect(0, 0, 300, 287).size());
    for (int id : {IDC_BTN_NEW, IDC_BTN_IMPORT, IDC_BTN_SETTING}) {
        auto* button = dlg.Item<CButtonST>(id);
        ASSERT_NE(button, nullptr) << id;
        EXPECT_FALSE(button->IsFlat());
        EXPECT_FALSE(button->Face().isNull());
        // White is left out of the face: the picture's white corner is transparent, its safe not.
        const QImage face = button->Face().toImage();
        EXPECT_EQ(face.pixelColor(0, 0).alpha(), 0) << id;
        EXPECT_EQ(face.pixelColor(face.width() / 2, face.height() / 2).alpha(), 255) << id;
    }
    EXPECT_EQ(dlg.Item<CButtonST>(IDC_BTN_NEW)->text(), QStringLiteral("新建"));
    auto* site = dlg.Item<CHyperLink>(IDC_LINK_SITE);
    auto* mail = dlg.Item<CHyperLink>(IDC_LINK_MAIL);
    ASSERT_NE(site, nullptr);
    ASSERT_NE(mail, nullptr);
    EXPECT_TRUE(mail->GetURL().startsWith(QStringLiteral("mailto:")));
    EXPECT_EQ(site->Underline(), 0);
    EXPECT_EQ(site->CurrentColour(), QColor(20, 20, 200));
    EXPECT_EQ(dlg.VaultList()->iconSize(), QSize(40, 40));
    EXPECT_EQ(dlg.VaultList()->viewMode(), QListView::IconMode);
    EXPECT_EQ(dlg.VaultList()->selectionMode(), QAbstractItemView::SingleSelection);
}

// Runs the context menu and reports which commands it offered enabled.
std::map<int, bool> menu_states(CMainDlg& dlg)
{
    std::map<int, bool> states;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        BCMenu* menu = dlg.ActiveMenu();
        if (!menu || !menu->isVisible())
            return;
        poll.stop();
        for (int id : {ID_VAULT_OPEN, ID_VAULT_CLOSE, ID_VAULT_PROPERTIES, ID_VAULT_DELETE,
                       ID_VAULT_DESTROY})
            states[id] = menu->FindCommand(id)->isEnabled();
        menu->close();
    });
    poll.start(5);
    dlg.OnRClickList();
    return states;
}

TEST_F(MainWindowTest, ContextMenuGreysByTheSelectedVaultsState)
{
    CMainDlg dlg(false);
    dlg.Create();
    dlg.show();
    EXPECT_TRUE(menu_states(dlg).empty()) << "no menu without a selection";

    select(dlg, 0);
    const std::map<int, bool> mounted{{ID_VAULT_OPEN, false},
                                      {ID_VAULT_CLOSE, true},
                                      {ID_VAULT_PROPERTIES, false},
                                      {ID_VAULT_DELETE, false},
                                      {ID_VAULT_DESTROY, false}};
    EXPECT_EQ(menu_states(dlg), mounted);
    select(dlg, 1);
    const std::map<int, bool> closed{{ID_VAULT_OPEN, true},
                                     {ID_VAULT_CLOSE, false},
                                     {ID_VAULT_PROPERTIES, true},
                                     {ID_VAULT_DELETE, true},
                                     {ID_VAULT_DESTROY, true}};
    EXPECT_EQ(menu_states(dlg), closed);
}

TEST_F(MainWindowTest, CommandsReachTheOperationsWithTheSelectedName)
{
    std::vector<std::u16string> opened, destroyed;
    g_MainDlgOperations.open = [&](CMainDlg&, const std::u16string& name) {
        opened.push_back(name);
        return false;
    };
    g_MainDlgOperations.destroyVault = [&](CMainDlg&, const std::u16string& name) {
        destroyed.push_back(name);
        // The operation removed the vault: the window rebuilds its list.
        g_VaultCatalogue.RemoveVault(name);
        return true;
    };
    int created = 0;
    g_MainDlgOperations.newVault = [&](QWidget* owner) {
        ++created;
        return IDCANCEL;
    };
    CMainDlg dlg(false);
    dlg.Create();
    dlg.show();
    QWidget* viewport = dlg.VaultList()->viewport();

    // A double click on empty space with nothing selected does nothing.
    QTest::mouseDClick(viewport, Qt::LeftButton, {},
                       QPoint(viewport->width() - 2, viewport->height() - 2));
    QApplication::processEvents();
    EXPECT_TRUE(opened.empty());

    const QRect first = dlg.VaultList()->visualItemRect(dlg.VaultList()->item(1));
    QTest::mouseClick(viewport, Qt::LeftButton, {}, first.center());
    QTest::mouseDClick(viewport, Qt::LeftButton, {}, first.center());
    QApplication::processEvents();
    EXPECT_EQ(opened, std::vector<std::u16string>{u"乙"});

    dlg.OnCommand(ID_VAULT_DESTROY);
    EXPECT_EQ(destroyed, std::vector<std::u16string>{u"乙"});
    EXPECT_EQ(dlg.VaultList()->count(), 3);

    QTest::mouseClick(dlg.Item<QPushButton>(IDC_BTN_NEW), Qt::LeftButton);
    EXPECT_EQ(created, 1);
}

TEST_F(MainWindowTest, EnterAndEscapeDoNotCloseTheWindowButTheCloseBoxDoes)
{
    CMainDlg dlg(false);
    bool stillOpen = false;
    QTimer::singleShot(0, &dlg, [&] {
        QWidget* focus = dlg.focusWidget() ? dlg.focusWidget() : &dlg;
        QTest::keyClick(focus, Qt::Key_Return);
        QTest::keyClick(focus, Qt::Key_Escape);
        QTest::keyClick(&dlg, Qt::Key_Escape);
        stillOpen = dlg.isVisible();
        dlg.close();
    });
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(stillOpen);
}

TEST(DevicePathToDosPath, MatchesWholeDeviceNamesOnly)
{
    // C: is \Device\HarddiskVolume1 in every namespace.
    EXPECT_EQ(DevicePathToDosPath(u"\\Device\\HarddiskVolume1\\v\\a.lkb"), u"C:\\v\\a.lkb");
    EXPECT_EQ(DevicePathToDosPath(u"\\device\\harddiskvolume1"), u"C:\\");
    EXPECT_EQ(DevicePathToDosPath(u"\\Device\\HarddiskVolume10\\v\\a.lkb"),
              u"\\Device\\HarddiskVolume10\\v\\a.lkb");
    EXPECT_EQ(DevicePathToDosPath(u""), u"");
}

} // namespace
