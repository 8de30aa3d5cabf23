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

// The push-to-talk key on Wayland: a shortcut bound through the desktop
// portal's GlobalShortcuts interface on the session bus. The desktop owns the
// actual key (it may ask the user, or let them pick another); its Activated
// and Deactivated signals are our press and release. Main thread only.
class PortalShortcut : public QObject {
    Q_OBJECT
public:
    enum class State { waiting, bound, unavailable, refused, lost };

    explicit PortalShortcut(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);
    ~PortalShortcut() override;

    // Creates a session and binds one shortcut with `chord` as the preferred
    // trigger; a session from before is closed first.
    void start(const KeyChord& chord);
    // Closes the session; a hold in progress is released.
    void stop();

    static constexpr const char* shortcutId = "push-to-talk";

signals:
    void stateChanged(hh::PortalShortcut::State state);
    void activated();
    void deactivated();

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
    void createSession();
    void unsubscribe();
    void fail(State state);

    QDBusConnection bus_;
    QDBusServiceWatcher* watcher_;
    KeyChord chord_;
    QString pendingRequest_;
    const char* pendingSlot_ = nullptr;
    QString session_;
    bool isActive_ = false;
    int generation_ = 0;
};

} // namespace hh
