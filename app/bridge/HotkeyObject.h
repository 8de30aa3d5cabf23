#pragma once

#include <QObject>
#include <QString>

namespace hh {

// A global key (push to talk, or reply) as the panels see it: which chord it is (the
// text `hollerhopper-cli talk --key` takes, e.g. "Pause" or "ctrl+space"; empty
// when cleared) and whether it works. `pressed` and `released` come exactly
// once per hold. Lives on the main thread; the real one is GlobalHotkey, tests
// use a fake.
class HotkeyObject : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString key READ key NOTIFY keyChanged)
    // The key as desktops write it ("Ctrl+Shift+F12", "Page Up"), for the panels.
    Q_PROPERTY(QString keyLabel READ keyLabel NOTIFY keyChanged)
    Q_PROPERTY(Status status READ status NOTIFY statusChanged)
    // The status's name ("ready", "conflict", ...), for QML to pick its sentence.
    Q_PROPERTY(QString statusName READ statusName NOTIFY statusChanged)
    // Why the chosen push-to-talk key does nothing, as a sentence for the
    // status line and the tooltip; empty while it works, is being asked for,
    // or there is none. (Settings words the reply key's status itself.)
    Q_PROPERTY(QString problem READ problem NOTIFY statusChanged)

public:
    enum class Status {
        off,         // no key chosen
        waiting,     // asked the desktop, no answer yet
        ready,       // held anywhere, it talks
        conflict,    // another program already uses the chord
        unavailable, // this desktop offers no global shortcuts
        noSuchKey,   // this keyboard has no such key
        refused,     // the desktop did not let us have the shortcut
        lost,        // worked, then the connection to the desktop went away
    };
    Q_ENUM(Status)

    using QObject::QObject;

    const QString& key() const { return key_; }
    QString keyLabel() const { return labelFor(key_); }
    Status status() const { return status_; }
    QString statusName() const;
    QString problem() const;

    // Uses `chord` from now on; empty clears the key. Invalid text is ignored.
    Q_INVOKABLE virtual void setKey(const QString& chord) = 0;
    // The key picked in Settings: tried like setKey(), but a chord that
    // another program holds or this keyboard lacks is not taken; the key
    // before stays. `choiceSettled` tells which, once the desktop answered.
    Q_INVOKABLE void chooseKey(const QString& chord);

    // The chord for a key event (Qt key and modifiers) in our key names; empty
    // for a key that cannot be one (a modifier alone, an unknown key).
    Q_INVOKABLE static QString chordFor(int qtKey, int modifiers);
    // A chord in our key names as desktops write keys: "ctrl+shift+F12" is
    // "Ctrl+Shift+F12", "Prior" is "Page Up". Text that is no chord stays as it is.
    Q_INVOKABLE static QString labelFor(const QString& chord);

signals:
    void keyChanged();
    void statusChanged();
    void pressed();
    void released();
    // `refusal` is the status that kept `chord` from being taken ("conflict",
    // "noSuchKey"), empty when it was.
    void choiceSettled(const QString& chord, const QString& refusal);

protected:
    void publishKey(QString key);
    void publishStatus(Status status);

private:
    void settleChoice();

    QString key_;
    Status status_ = Status::off;
    // While a chosen key is being tried: it, and the key to go back to.
    QString choice_;
    QString keyBeforeChoice_;
    bool isChoosing_ = false;
};

} // namespace hh
