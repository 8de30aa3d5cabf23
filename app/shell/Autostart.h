#pragma once

#include <QString>
#include <QStringList>

namespace hh {

// "Start at login": the user's entry in the XDG autostart directory,
// $XDG_CONFIG_HOME/autostart/hollerhopper.desktop (~/.config by default).
// A system-wide entry (in $XDG_CONFIG_DIRS, /etc/xdg by default) is switched
// off for this user by an entry of the same name saying Hidden=true.
class AutostartEntry {
public:
    // `program`: what the entry starts (an absolute path, or a name on PATH).
    AutostartEntry(QString program, QString configHome = defaultConfigHome(),
                   QStringList configDirs = defaultConfigDirs());

    QString path() const;
    bool isEnabled() const;
    // Writes or removes the entry; false (and logged) when that fails.
    bool setEnabled(bool isEnabled);

    // The entry's text.
    QString contents(bool isHidden) const;

    static QString defaultConfigHome();
    static QStringList defaultConfigDirs();

private:
    bool hasSystemEntry() const;

    QString program_;
    QString configHome_;
    QStringList configDirs_;
};

} // namespace hh
