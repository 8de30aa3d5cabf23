#include "app/shell/Autostart.h"

#include "core/log/Log.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QFileInfo>
#include <algorithm>

namespace hh {

namespace {

const QString entryName = QStringLiteral("autostart/hollerhopper.desktop");

// An entry is on unless it says Hidden=true.
bool isHiddenEntry(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return true;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.startsWith("Hidden") && line.mid(6).trimmed().startsWith('='))
            return line.mid(line.indexOf('=') + 1).trimmed() == "true";
    }
    return false;
}

// Exec's quoting: arguments with special characters go in double quotes, in
// which ", `, $ and \ are escaped.
QString quotedExec(const QString& program) {
    static const QString special = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`=%");
    if (std::none_of(program.begin(), program.end(), [](QChar c) { return special.contains(c); }))
        return program;
    QString quoted = program;
    for (const QString& c : {QStringLiteral("\\"), QStringLiteral("\""), QStringLiteral("`"), QStringLiteral("$")})
        quoted.replace(c, QStringLiteral("\\") + c);
    // Inside the .desktop file a backslash is itself escaped, and % is doubled.
    quoted.replace(QStringLiteral("\\"), QStringLiteral("\\\\")).replace(QStringLiteral("%"), QStringLiteral("%%"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

} // namespace

AutostartEntry::AutostartEntry(QString program, QString configHome, QStringList configDirs)
    : program_(std::move(program)), configHome_(std::move(configHome)), configDirs_(std::move(configDirs)) {}

QString AutostartEntry::path() const {
    return QDir(configHome_).filePath(entryName);
}

bool AutostartEntry::hasSystemEntry() const {
    return std::any_of(configDirs_.begin(), configDirs_.end(), [](const QString& dir) {
        const QString system = QDir(dir).filePath(entryName);
        return QFile::exists(system) && !isHiddenEntry(system);
    });
}

bool AutostartEntry::isEnabled() const {
    // The user's entry wins over a system-wide one of the same name.
    if (QFile::exists(path()))
        return !isHiddenEntry(path());
    return hasSystemEntry();
}

QString AutostartEntry::contents(bool isHidden) const {
    QString text = QStringLiteral("[Desktop Entry]\n"
                                  "Type=Application\n"
                                  "Name=Hollerhopper\n"
                                  "Comment=Push-to-talk intercom in the tray\n"
                                  "Exec=%1\n"
                                  "Icon=hollerhopper\n"
                                  "Terminal=false\n")
                       .arg(quotedExec(program_));
    if (isHidden)
        text += QStringLiteral("Hidden=true\n");
    else
        text += QStringLiteral("X-GNOME-Autostart-enabled=true\n");
    return text;
}

bool AutostartEntry::setEnabled(bool isEnabled) {
    const bool isSystemOn = hasSystemEntry();
    if (!isEnabled && !isSystemOn) {
        if (!QFile::exists(path()) || QFile::remove(path()))
            return true;
        HH_LOG_WARNING(logcat::app, "cannot remove " << path().toStdString());
        return false;
    }
    if (!QDir().mkpath(QFileInfo(path()).absolutePath())) {
        HH_LOG_WARNING(logcat::app, "cannot create " << QFileInfo(path()).absolutePath().toStdString());
        return false;
    }
    QSaveFile file(path());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text) || file.write(contents(!isEnabled).toUtf8()) < 0 ||
        !file.commit()) {
        HH_LOG_WARNING(logcat::app, "cannot write " << path().toStdString() << ": " << file.errorString().toStdString());
        return false;
    }
    return true;
}

QString AutostartEntry::defaultConfigHome() {
    const QString home = qEnvironmentVariable("XDG_CONFIG_HOME");
    // XDG base directories must be absolute; a relative one is ignored.
    if (!home.isEmpty() && QDir::isAbsolutePath(home))
        return home;
    return QDir::home().filePath(QStringLiteral(".config"));
}

QStringList AutostartEntry::defaultConfigDirs() {
    QStringList dirs;
    for (const QString& dir : qEnvironmentVariable("XDG_CONFIG_DIRS").split(QLatin1Char(':'), Qt::SkipEmptyParts))
        if (QDir::isAbsolutePath(dir))
            dirs << dir;
    return dirs.isEmpty() ? QStringList{QStringLiteral("/etc/xdg")} : dirs;
}

} // namespace hh
