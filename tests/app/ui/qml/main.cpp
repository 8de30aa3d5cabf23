// Qt Quick Test runner for the panels: the fakes and the symbol images are
// made available to every test file.
#include "app/shell/Symbols.h"
#include "fakes/Fakes.h"

#include <QLocale>
#include <QQmlContext>
#include <QQmlEngine>
#include <QtQuickTest>

class Setup : public QObject {
    Q_OBJECT
public slots:
    void applicationAvailable() {
        hh::registerFakeTypes();
        // Rows are sorted by the user's collation: the tests pick the user.
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    void qmlEngineAvailable(QQmlEngine* engine) {
        engine->addImageProvider(QStringLiteral("symbol"), new hh::SymbolImageProvider);
        // Where the tests save the README screenshots; empty: no screenshots.
        engine->rootContext()->setContextProperty(QStringLiteral("screenshotDir"),
                                                  qEnvironmentVariable("HH_SCREENSHOT_DIR"));
    }
};

QUICK_TEST_MAIN_WITH_SETUP(hollerhopper_panels, Setup)

#include "main.moc"
