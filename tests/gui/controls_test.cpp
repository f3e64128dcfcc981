#include "gui_fixture.h"

#include "gui/main_dlg.h"
#include "gui/message_box.h"

#include "controls/button_st.h"
#include "controls/hyperlink.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTest>

#include <sys/stat.h>

#include <gtest/gtest.h>

namespace {

void write_script(const std::string& path, const std::string& body)
{
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
}

// The main window's links against a fake opener and a fake web-page handler on the PATH.
class HyperLinkTest : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        bin_ = base_ + "/bin";
        std::filesystem::create_directories(bin_);
        std::filesystem::create_directories(base_ + "/data/applications");
        old_path_ = getenv("PATH");
        setenv("PATH", (bin_ + ":" + old_path_).c_str(), 1);
        set_env("XDG_DATA_HOME", base_ + "/data");
        set_env("XDG_DATA_DIRS", base_ + "/nowhere");
        write_config("");
        ASSERT_TRUE(g_VaultCatalogue.LoadConfig(kConfigFileName));
    }
    void TearDown() override
    {
        setenv("PATH", old_path_.c_str(), 1);
        for (auto& [name, value] : saved_)
            value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
        GuiTest::TearDown();
    }
    void set_env(const std::string& name, const std::string& value)
    {
        const char* old = getenv(name.c_str());
        saved_.emplace_back(name, old ? old : "");
        setenv(name.c_str(), value.c_str(), 1);
    }
    void opener_exits(int code)
    {
        write_script(bin_ + "/xdg-open", "exit " + std::to_string(code));
    }

    std::string bin_, old_path_;
    std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(HyperLinkTest, AFailedOpenIsReportedAndLeavesTheLinkUnvisited)
{
    opener_exits(3);
    write_script(bin_ + "/xdg-mime", "exit 1");
    CMainDlg dlg(false);
    dlg.Create();
    auto* link = dlg.Item<CHyperLink>(gui::IDC_LINK_SITE);
    ASSERT_NE(link, nullptr);
    gui::MessageBoxHook boxes;
    QSignalSpy clicked(link, &CHyperLink::clicked);
    QTest::mouseClick(link, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_EQ(clicked.count(), 1);
    ASSERT_EQ(boxes.Shown().size(), 1u);
    EXPECT_EQ(boxes.Shown()[0].text, u"Unable to open hyperlink:\n\nThere is no application "
                                     u"associated\nwith the given filename extension.");
    EXPECT_EQ(boxes.Shown()[0].type, UINT(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_EQ(boxes.Shown()[0].caption, u"Lockbin");
    EXPECT_FALSE(link->IsVisited());
}

TEST_F(HyperLinkTest, TheWebPageHandlerIsTheFallbackAndAnOpenedLinkIsVisited)
{
    opener_exits(4);
    const std::string seen = base_ + "/seen";
    write_script(bin_ + "/browser", "echo \"$@\" > " + seen);
    write_script(bin_ + "/xdg-mime", "echo fake-browser.desktop");
    std::ofstream(base_ + "/data/applications/fake-browser.desktop")
        << "[Desktop Entry]\nType=Application\nName=B\nExec=" << bin_ << "/browser --new %u\n";
    CHyperLink link;
    link.SetURL(QStringLiteral("http://127.0.0.1:9/news"));
    QTest::mouseClick(&link, Qt::LeftButton, {}, QPoint(1, 1));
    EXPECT_TRUE(link.IsVisited());
    for (int i = 0; i < 200 && !std::filesystem::exists(seen); ++i)
        QTest::qWait(10);
    std::ifstream in(seen);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "--new http://127.0.0.1:9/news");

    // The plain opener is tried first.
    std::filesystem::remove(seen);
    opener_exits(0);
    CHyperLink other;
    other.SetURL(QStringLiteral("mailto:a@b.c"));
    QTest::mouseClick(&other, Qt::LeftButton, {}, QPoint(1, 1));
    EXPECT_TRUE(other.IsVisited());
    QTest::qWait(50);
    EXPECT_FALSE(std::filesystem::exists(seen));
}

TEST(HyperLinkHover, EndsWithinAboutATimerTickOfLeaving)
{
    QWidget parent;
    parent.resize(300, 100);
    auto* link = new CHyperLink(&parent);
    link->setGeometry(10, 10, 100, 20);
    link->SetURL(QStringLiteral("http://x"));
    parent.show();
    QCursor::setPos(link->mapToGlobal(QPoint(5, 5)));
    QTest::mouseMove(link, QPoint(5, 5));
    ASSERT_TRUE(link->IsHovered());
    EXPECT_TRUE(link->font().underline()) << "mode -1 underlines while hovered";
    EXPECT_EQ(link->CurrentColour(), QColor(255, 0, 0));
    QTest::qWait(250);
    EXPECT_TRUE(link->IsHovered()) << "the cursor is still over it";
    QCursor::setPos(parent.mapToGlobal(QPoint(250, 80)));
    QTest::qWait(250);
    EXPECT_FALSE(link->IsHovered());
    EXPECT_FALSE(link->font().underline());
}

TEST(ButtonST, ADoubleClickIsTwoPresses)
{
    QWidget parent;
    auto* plain = new QPushButton(QStringLiteral("新建"), &parent);
    plain->setObjectName(QStringLiteral("1001"));
    plain->setDefault(true);
    CButtonST* button = CButtonST::TakeOver(plain);
    EXPECT_EQ(button->objectName(), QStringLiteral("1001"));
    EXPECT_TRUE(button->WasDefault());
    EXPECT_EQ(parent.findChildren<QPushButton*>().size(), 1);
    parent.show();
    QSignalSpy clicked(button, &QPushButton::clicked);
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::mouseDClick(button, Qt::LeftButton);
    QTest::mouseRelease(button, Qt::LeftButton);
    EXPECT_EQ(clicked.count(), 2);
}

} // namespace
