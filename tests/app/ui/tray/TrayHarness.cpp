// The tray program on fakes, for tests that drive it as a desktop does. It
// prints what happens as lines on stdout ("event beginTalking", "panel shown
// x y w h", ...) and takes commands on stdin:
//   talk NAME | silence | transmit 0|1 | peers A,B | perms MIC NET | ssid NAME
//   state TEXT | geometry | quit
#include "app/shell/AppDelegate.h"
#include "app/shell/PanelWindow.h"
#include "fakes/Fakes.h"

#include <QApplication>
#include <QMenu>
#include <QQmlProperty>
#include <QQuickItem>
#include <QSocketNotifier>
#include <QTextStream>
#include <cstdio>
#include <unistd.h>

namespace {

void say(const QString& line) {
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

QString rect(const QRect& r) {
    return QStringLiteral("%1 %2 %3 %4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}

// Reports the panel's switch to and from its settings view.
class SettingsReporter : public QObject {
    Q_OBJECT
public:
    explicit SettingsReporter(QObject* root) : root_(root) {}
public slots:
    void report() {
        say(QStringLiteral("showSettings ") + (root_->property("showSettings").toBool() ? QStringLiteral("1") : QStringLiteral("0")));
    }
private:
    QObject* root_;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Hollerhopper"));

    auto controller = std::make_unique<hh::FakeController>();
    auto network = std::make_unique<hh::FakeNetworkName>();
    auto permissions = std::make_unique<hh::FakePermissions>();
    controller->onEvent = [](const QString& e) { say(QStringLiteral("event ") + e); };
    permissions->onEvent = [](const QString& e) { say(QStringLiteral("event ") + e); };
    permissions->setStatuses(QStringLiteral("granted"), QStringLiteral("granted"));
    controller->setConnectionState(QStringLiteral("on air"));
    hh::FakeController* fake = controller.get();
    hh::FakeNetworkName* fakeNetwork = network.get();
    hh::FakePermissions* fakePermissions = permissions.get();

    hh::AppDelegate delegate(hh::AppBackend{std::move(controller), std::move(network), std::move(permissions)});
    delegate.applicationDidFinishLaunching();
    hh::PanelWindow* panel = delegate.panel();
    if (!panel || !panel->isLoaded())
        return 2;

    QObject::connect(panel, &QWindow::visibleChanged, [panel](bool visible) {
        say(visible ? QStringLiteral("panel shown ") + rect(panel->geometry()) : QStringLiteral("panel hidden"));
    });
    QObject::connect(panel, &QWindow::xChanged, [panel] {
        if (panel->isVisible())
            say(QStringLiteral("panel moved ") + rect(panel->geometry()));
    });
    QQuickItem* root = panel->rootObject();
    SettingsReporter reporter(root);
    QQmlProperty(root, QStringLiteral("showSettings")).connectNotifySignal(&reporter, SLOT(report()));
    QObject::connect(delegate.contextMenu(), &QMenu::aboutToShow, [] { say(QStringLiteral("menu shown")); });

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            input.setEnabled(false);
            return;
        }
        static QString pending;
        pending += QString::fromUtf8(buffer, int(n));
        qsizetype end;
        while ((end = pending.indexOf(QLatin1Char('\n'))) >= 0) {
            const QString line = pending.left(end).trimmed();
            pending.remove(0, end + 1);
            const QString command = line.section(QLatin1Char(' '), 0, 0);
            const QString argument = line.section(QLatin1Char(' '), 1);
            if (command == QLatin1String("talk"))
                fake->setTalkingPeer(argument);
            else if (command == QLatin1String("silence"))
                fake->clearTalkingPeer();
            else if (command == QLatin1String("transmit"))
                fake->setTransmitting(argument == QLatin1String("1"));
            else if (command == QLatin1String("peers"))
                fake->setPeerNames(argument.isEmpty() ? QStringList() : argument.split(QLatin1Char(',')));
            else if (command == QLatin1String("perms"))
                fakePermissions->setStatuses(argument.section(QLatin1Char(' '), 0, 0), argument.section(QLatin1Char(' '), 1, 1));
            else if (command == QLatin1String("ssid"))
                fakeNetwork->setSsid(argument);
            else if (command == QLatin1String("state"))
                fake->setConnectionState(argument);
            else if (command == QLatin1String("geometry"))
                say(QStringLiteral("tray ") + rect(delegate.statusItem() ? delegate.statusItem()->geometry() : QRect()));
            else if (command == QLatin1String("quit"))
                QCoreApplication::quit();
            say(QStringLiteral("ok ") + command);
        }
    });

    say(QStringLiteral("ready tray=") + (delegate.statusItem() ? QStringLiteral("1") : QStringLiteral("0")));
    return QApplication::exec();
}

#include "TrayHarness.moc"
