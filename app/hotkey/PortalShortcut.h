#pragma once

#include "core/ptt/key/KeyChord.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QString>
#include <QVariantMap>

class QDBusMessage;
class QDBusServiceWatcher;

namespace hh {

// The global keys on Wayland: shortcuts bound through the desktop portal's
// GlobalShortcuts interface on the session bus, all in one session so the
// desktop lists them together. The desktop owns the actual keys (it may ask
// the user, or let them pick others); its Activated and Deactivated signals
// are our presses and releases. Changing a shortcut binds them all again in a
// new session. Main thread only.
class PortalShortcut : public QObject {
    Q_OBJECT
public:
    enum class State { waiting, bound, unavailable, refused, lost };

    explicit PortalShortcut(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~PortalShortcut() override;

    // Binds shortcut `id` with `chord` as its preferred trigger beside the
    // others (a new session; holds in progress are released).
    void bind(const QString& id, const QString& description, const KeyChord& chord);
    // Binds the others again without `id`; none left: the session is closed.
    void unbind(const QString& id);
    // Drops `id` without binding again (its owner is going away).
    void forget(const QString& id);
    bool has(const QString& id) const;
    // Closes the session; holds in progress are released.
    void stop();

signals:
    // The session's state, for every shortcut in it.
    void stateChanged(hh::PortalShortcut::State state);
    void activated(const QString& id);
    void deactivated(const QString& id);

private slots:
    void sessionCreated(uint response, const QVariantMap& results);
    void shortcutsBound(uint response, const QVariantMap& results);
    void shortcutSignal(const QDBusMessage& message);
    void sessionClosed(const QVariantMap& details);

private:
    // The path the portal answers a request on (the portal's documented rule),
    // subscribed to before the call so the answer cannot be missed.
    QString requestPath(const QString& token) const;
    void call(const QString& method, const QList<QVariant>& arguments, const QString& token, const char* slot,
              State onError);
    void start();
    void createSession();
    void unsubscribe();
    void releaseAll();
    void fail(State state);

    struct Binding {
        QString id;
        QString description;
        KeyChord chord;
    };

    QDBusConnection bus_;
    QDBusServiceWatcher* watcher_;
    QList<Binding> bindings_;
    QString pendingRequest_;
    const char* pendingSlot_ = nullptr;
    QString session_;
    QStringList active_; // the shortcuts held now
    int generation_ = 0;
};

} // namespace hh
