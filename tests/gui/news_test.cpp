#include "gui_fixture.h"

#include "gui/main_dlg.h"
#include "gui/popup_index.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QWebEngineView>

#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

namespace {

// A local port on which nothing listens.
int closed_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

class NewsTest : public GuiTest {
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        start_driver();
        write_config("");
        ASSERT_TRUE(g_VaultCatalogue.LoadConfig(kConfigFileName));
        server_ = "http://127.0.0.1:" + std::to_string(closed_port());
        setenv("LOCKBIN_SERVER", server_.c_str(), 1);
    }
    void TearDown() override
    {
        unsetenv("LOCKBIN_SERVER");
        GuiTest::TearDown();
    }
    std::string server_;
};

TEST_F(NewsTest, ShownCentredWithoutTaskbarButtonAndAFailedPageChangesNothing)
{
    CMainDlg dlg(true);
    dlg.Create();
    CDlgPopupIndex* news = dlg.NewsWindow();
    ASSERT_NE(news, nullptr);
    EXPECT_TRUE(news->isVisible());
    EXPECT_EQ(news->parent(), nullptr);
    EXPECT_TRUE(news->windowFlags() & Qt::Tool) << "no taskbar button";
    EXPECT_EQ(news->windowTitle(), QStringLiteral("岚泽禾 企业数据安全解决方案专家"));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(news->geometry(), QRect(screen.x() + (screen.width() - 600) / 2,
                                      screen.y() + (screen.height() - 400) / 2, 600, 400));
    EXPECT_EQ(CDlgPopupIndex::NewsUrl().toString().toStdString(), server_ + "/lockbin/news.asp");

    // The browser comes after the window, and a server that refuses ends in a failed load.
    EXPECT_EQ(news->Browser(), nullptr);
    QSignalSpy loaded(news, &CDlgPopupIndex::newsLoaded);
    ASSERT_TRUE(loaded.wait(20000));
    EXPECT_FALSE(loaded.at(0).at(0).toBool());
    ASSERT_NE(news->Browser(), nullptr);
    EXPECT_EQ(news->Browser()->objectName(), QStringLiteral("1049"));
    EXPECT_EQ(news->Browser()->geometry(), QRect(0, 0, 600, 400));

    // Closing only hides it; the main window goes on.
    dlg.show();
    news->close();
    EXPECT_TRUE(news->isHidden());
    EXPECT_EQ(dlg.NewsWindow(), news);
    dlg.RefreshVaultList();
    EXPECT_TRUE(dlg.isVisible());
}

} // namespace
