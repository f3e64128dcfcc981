// update: started by the manager, elevated, at every launch.
#include "update_app.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("update"));
    QApplication::setApplicationVersion(QStringLiteral("2.0.0.0"));
    QApplication::setFont(gui::DialogFont());
    CUpdateApp theApp(UpdateConfig::ForThisMachine());
    return theApp.Run();
}
