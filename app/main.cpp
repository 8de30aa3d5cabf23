// Hollerhopper: the tray program. Builds the controller for this computer and
// hands it to the shell; everything else happens on the Qt event loop.
#include "app/adapters/AppBackend.h"
#include "app/adapters/QtLogBridge.h"
#include "app/shell/AppDelegate.h"

#include <QApplication>

int main(int argc, char** argv) {
    hh::installQtLogBridge();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Hollerhopper"));
    QApplication::setDesktopFileName(QStringLiteral("hollerhopper"));
    hh::AppDelegate delegate(hh::makeAppBackend());
    delegate.applicationDidFinishLaunching();
    return QApplication::exec();
}
