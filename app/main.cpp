// Hollerhopper: the tray program. Reads its command line, makes sure it is the
// only copy on this display, builds the controller for this computer and hands
// it to the shell; everything else happens on the Qt event loop.
#include "app/adapters/AppBackend.h"
#include "app/adapters/QtLogBridge.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/SingleInstance.h"

#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <optional>

namespace {

// --help and --version print and end the program before any display or
// instance exists; anything unknown is a usage error (status 2).
std::optional<int> handleCommandLine(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Push-to-talk intercom for the computers on this local network. It lives in the "
                       "system tray: click its icon and hold the big button to talk."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    // Qt's own options (-platform xcb, -session ID from a session manager's
    // restart, ...) stay valid; QApplication reads them later.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const char* name : {"platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry",
                             "qwindowtitle", "qwindowicon", "display", "session", "style", "stylesheet"}) {
        QCommandLineOption qtOption(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }
    for (const char* name : {"reverse", "widgetcount"}) {
        QCommandLineOption qtOption(QString::fromLatin1(name));
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }
    if (!parser.parse(arguments)) {
        std::fprintf(stderr, "hollerhopper: %s\nTry 'hollerhopper --help' for more information.\n",
                     qPrintable(parser.errorText()));
        return 2;
    }
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all"))) {
        // Without an application object Qt cannot name the program itself.
        std::fputs(qPrintable(parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("hollerhopper"))),
                   stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("hollerhopper %s\n", HH_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "hollerhopper: unexpected argument '%s'\nTry 'hollerhopper --help' for more information.\n",
                     qPrintable(parser.positionalArguments().constFirst()));
        return 2;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication::setApplicationName(QStringLiteral("Hollerhopper"));
    QCoreApplication::setApplicationVersion(QStringLiteral(HH_VERSION));
    if (auto status = handleCommandLine(argc, argv))
        return *status;

    hh::SingleInstance instance(hh::SingleInstance::runtimeDirectory(), hh::SingleInstance::displayKey());
    if (instance.role() == hh::SingleInstance::Role::second)
        return instance.handOver();

    hh::installQtLogBridge();
    QApplication app(argc, argv);
    QApplication::setDesktopFileName(QStringLiteral("hollerhopper"));
    hh::AppDelegate delegate(hh::makeAppBackend());
    delegate.applicationDidFinishLaunching();
    instance.onShowPanel = [&delegate] { delegate.revealPanel(); };
    instance.start();
    return QApplication::exec();
}
