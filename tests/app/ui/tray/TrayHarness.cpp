// The tray program on fakes, for tests that drive it as a desktop does (and,
// like the program, the only copy on its display). It
// prints what happens as lines on stdout ("event beginTalking", "panel created",
// "panel shown", "menu shown ENTRY|ENTRY...", ...) and takes commands on stdin, answering each with "ok COMMAND":
//   view (prints "showSettings 0|1 dark 0|1", the panel's) | statusline | tooltip (lines joined by " | ") | hide | quit
//   setkey CHORD | choose CHORD (as the capture field in Settings; prints "choice CHORD [REFUSAL]")
// and prints "hotkey STATUS KEY" whenever the key's status changes.
// The push-to-talk key is the real one (X11 grab, or the portal in a Wayland
// session) and its settings file is the user's ($XDG_CONFIG_HOME).
#include "app/hotkey/GlobalHotkey.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/PanelWindow.h"
#include "app/shell/SingleInstance.h"
#include "fakes/Fakes.h"

#include <QApplication>
#include <QMenu>
#include <QQuickItem>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <unistd.h>

namespace {

void say(const QString& line) {
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    // As the program does: a second launch on this display hands over and ends.
    hh::SingleInstance instance(hh::SingleInstance::runtimeDirectory(), hh::SingleInstance::displayKey());
    if (instance.role() == hh::SingleInstance::Role::second)
        return instance.handOver();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Hollerhopper"));

    auto controller = std::make_unique<hh::FakeController>();
    auto permissions = std::make_unique<hh::FakePermissions>();
    controller->log.onEvent = permissions->log.onEvent = [](const QString& e) { say(QStringLiteral("event ") + e); };
    permissions->setStatuses(QStringLiteral("granted"), QStringLiteral("granted"));
    controller->setConnectionState(QStringLiteral("ready"));

    controller->setDisplayName(QStringLiteral("Fake Desk"));
    auto hotkey = std::make_unique<hh::GlobalHotkey>();
    hh::GlobalHotkey* realHotkey = hotkey.get();
    QObject::connect(realHotkey, &hh::HotkeyObject::statusChanged, [realHotkey] {
        say(QStringLiteral("hotkey %1 %2").arg(realHotkey->statusName(), realHotkey->key()));
    });
    QObject::connect(realHotkey, &hh::HotkeyObject::choiceSettled, [](const QString& chord, const QString& refusal) {
        say(QStringLiteral("choice %1 %2").arg(chord, refusal).trimmed());
    });
    auto replyHotkey = hh::GlobalHotkey::replyKeyBeside(*realHotkey);
    QObject::connect(replyHotkey.get(), &hh::HotkeyObject::statusChanged, [reply = replyHotkey.get()] {
        say(QStringLiteral("replykey %1 %2").arg(reply->statusName(), reply->key()));
    });
    hh::AppDelegate delegate(hh::AppBackend{std::move(controller), std::make_unique<hh::FakeNetworkName>(),
                                            std::move(permissions), std::move(hotkey), std::move(replyHotkey)});
    // The panel is made when first shown (at once without a tray): watched from then on.
    hh::PanelWindow* panel = nullptr;
    QObject::connect(&delegate, &hh::AppDelegate::panelCreated, [&] {
        panel = delegate.panel();
        if (!panel->isLoaded())
            std::exit(2);
        say(QStringLiteral("panel created"));
        QObject::connect(panel, &QWindow::visibleChanged, [panel](bool visible) {
            say(visible ? QStringLiteral("panel shown") : QStringLiteral("panel hidden"));
        });
    });
    delegate.applicationDidFinishLaunching();
    if (delegate.statusItem() && delegate.panel())
        return 3; // a program in the tray makes its panel only when it is first opened
    instance.onShowPanel = [&delegate] { delegate.revealPanel(); };
    QObject::connect(delegate.contextMenu(), &QMenu::aboutToShow, [&delegate] {
        QStringList entries;
        for (const QAction* action : delegate.contextMenu()->actions())
            entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
        say(QStringLiteral("menu shown ") + entries.join(QLatin1Char('|')));
    });
    instance.start();

    using Argument = const QString&;
    const std::map<QString, std::function<void(Argument)>> commands = {
        {QStringLiteral("view"),
         [&](Argument) {
             const QQuickItem* root = delegate.ensurePanel()->rootObject();
             say(QStringLiteral("showSettings %1 dark %2")
                     .arg(int(root->property("showSettings").toBool()))
                     .arg(int(root->property("style").value<QObject*>()->property("isDark").toBool())));
         }},
        {QStringLiteral("statusline"),
         [&](Argument) { say(QStringLiteral("statusline ") + delegate.ensurePanel()->rootObject()->property("statusLine").toString()); }},
        {QStringLiteral("tooltip"),
         [&](Argument) { say(QStringLiteral("tooltip ") + delegate.statusItem()->toolTip().replace('\n', QStringLiteral(" | "))); }},
        {QStringLiteral("hide"), [&](Argument) { if (panel) panel->hide(); }},
        {QStringLiteral("setkey"), [&](Argument a) { realHotkey->setKey(a); }},
        {QStringLiteral("choose"), [&](Argument a) { realHotkey->chooseKey(a); }},
        {QStringLiteral("quit"), [](Argument) { QCoreApplication::quit(); }},
    };
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QString pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0)
            return input.setEnabled(false);
        pending += QString::fromUtf8(buffer, int(n));
        for (qsizetype end; (end = pending.indexOf(QLatin1Char('\n'))) >= 0; pending.remove(0, end + 1)) {
            const QString line = pending.left(end).trimmed(), command = line.section(' ', 0, 0);
            if (auto found = commands.find(command); found != commands.end())
                found->second(line.section(' ', 1));
            say(QStringLiteral("ok ") + command);
        }
    });

    say(QStringLiteral("ready tray=") + (delegate.statusItem() ? QStringLiteral("1") : QStringLiteral("0")));
    return QApplication::exec();
}
