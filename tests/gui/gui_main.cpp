// One QApplication for every dialog test, offscreen unless a display is asked for.
#include "gui/dialog.h"

#include <QApplication>

#include <unistd.h>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The browser's sandbox refuses to start as root.
    if (geteuid() == 0)
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lockbin"));
    QApplication::setFont(gui::DialogFont());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
