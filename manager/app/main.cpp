// The program Lockbin: the application object's start-up, then its end.
#include "gui/dialog.h"
#include "gui/lockbin_app.h"
#include "gui/pictures.h"

#include <QApplication>

#include <unistd.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    // The browser's sandbox refuses to start as root; as a user it stays on.
    if (geteuid() == 0)
        setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication qt(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lockbin"));
    QApplication::setFont(gui::DialogFont());
    QApplication::setWindowIcon(gui::LoadIcon(101));
    // The browser's test hook: LOCKBIN_NEWS_WINDOW=off leaves the news window out (benchmarks).
    CLockbinApp app;
    const char* news = getenv("LOCKBIN_NEWS_WINDOW");
    app.withNews = !(news && std::string(news) == "off");
    app.InitInstance();
    return app.ExitInstance();
}
