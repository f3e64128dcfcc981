// One QApplication for the updater's window tests, offscreen unless a display is asked for.
#include "gui/dialog.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("update"));
    QApplication::setFont(gui::DialogFont());
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
