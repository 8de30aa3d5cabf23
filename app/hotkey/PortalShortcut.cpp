#include "app/hotkey/PortalShortcut.h"

#include "app/DesktopPortal.h"
#include "core/log/Log.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>

#include <algorithm>
#include <utility>

namespace hh {

namespace {
const QString shortcutsInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString requestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString sessionInterface = QStringLiteral("org.freedesktop.portal.Session");

// One entry of BindShortcuts' a(sa{sv}).
struct Shortcut {
    QString id;
    QVariantMap options;
};
QDBusArgument& operator<<(QDBusArgument& out, const Shortcut& s) {
    out.beginStructure();
    out << s.id << s.options;
    out.endStructure();
    return out;
}
const QDBusArgument& operator>>(const QDBusArgument& in, Shortcut& s) {
    in.beginStructure();
    in >> s.id >> s.options;
    in.endStructure();
    return in;
}
} // namespace
} // namespace hh

Q_DECLARE_METATYPE(hh::Shortcut)

namespace hh {

PortalShortcut::PortalShortcut(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)),
      watcher_(new QDBusServiceWatcher(portalService, bus_, QDBusServiceWatcher::WatchForUnregistration, this)) {
    qDBusRegisterMetaType<Shortcut>();
    qDBusRegisterMetaType<QList<Shortcut>>();
    // The portal went away: its Deactivated can never come.
    connect(watcher_, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        if (!session_.isEmpty() || !pendingRequest_.isEmpty())
            fail(State::lost);
    });
    const bool isSubscribed =
        bus_.connect(QString(), portalPath, shortcutsInterface, QStringLiteral("Activated"), this,
                     SLOT(shortcutSignal(QDBusMessage)))
        && bus_.connect(QString(), portalPath, shortcutsInterface, QStringLiteral("Deactivated"), this,
                        SLOT(shortcutSignal(QDBusMessage)));
    if (!isSubscribed && bus_.isConnected())
        HH_LOG_WARNING(logcat::app, "push-to-talk key: cannot follow the portal's shortcut signals");
}

PortalShortcut::~PortalShortcut() { stop(); }

QString PortalShortcut::requestPath(const QString& token) const {
    QString sender = bus_.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    return portalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token;
}

bool PortalShortcut::has(const QString& id) const {
    return std::any_of(bindings_.begin(), bindings_.end(), [&](const Binding& b) { return b.id == id; });
}

void PortalShortcut::bind(const QString& id, const QString& description, const KeyChord& chord) {
    forget(id);
    bindings_.append({id, description, chord});
    start();
}

void PortalShortcut::unbind(const QString& id) {
    forget(id);
    if (bindings_.isEmpty())
        stop();
    else
        start();
}

void PortalShortcut::forget(const QString& id) {
    bindings_.removeIf([&](const Binding& b) { return b.id == id; });
}

void PortalShortcut::start() {
    stop();
    emit stateChanged(State::waiting);
    if (!bus_.isConnected())
        return fail(State::unavailable);
    // Is the interface there at all? Its version property says so.
    QDBusMessage get = QDBusMessage::createMethodCall(portalService, portalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << shortcutsInterface << QStringLiteral("version");
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(get, 5000), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending, generation = generation_] {
        pending->deleteLater();
        if (generation != generation_)
            return; // stopped or restarted meanwhile
        if (pending->isError()) {
            HH_LOG_WARNING(logcat::app, "push-to-talk key: the desktop offers no global shortcuts ("
                                            << pending->error().message().toStdString() << ")");
            return fail(State::unavailable);
        }
        createSession();
    });
}

void PortalShortcut::call(const QString& method, const QList<QVariant>& arguments, const QString& token, const char* slot,
                          State onError) {
    pendingRequest_ = requestPath(token);
    pendingSlot_ = slot;
    bus_.connect(QString(), pendingRequest_, requestInterface, QStringLiteral("Response"), this, slot);
    QDBusMessage message = QDBusMessage::createMethodCall(portalService, portalPath, shortcutsInterface, method);
    message.setArguments(arguments);
    // The answer comes as the request's Response; the reply only says whether the call was taken.
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(message, 5000), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this, pending, method, onError, generation = generation_] {
        pending->deleteLater();
        if (generation != generation_ || !pending->isError())
            return;
        HH_LOG_WARNING(logcat::app, "push-to-talk key: " << method.toStdString() << " failed: "
                                                         << pending->error().message().toStdString());
        fail(onError);
    });
}

void PortalShortcut::createSession() {
    const QString token = QStringLiteral("hollerhopper%1").arg(++generation_);
    const QVariantMap options{{QStringLiteral("handle_token"), token},
                              {QStringLiteral("session_handle_token"), QStringLiteral("hollerhopper_session%1").arg(generation_)}};
    call(QStringLiteral("CreateSession"), {options}, token, SLOT(sessionCreated(uint, QVariantMap)), State::unavailable);
}

void PortalShortcut::sessionCreated(uint response, const QVariantMap& results) {
    unsubscribe();
    if (response != 0)
        return fail(State::refused);
    const QVariant handle = results.value(QStringLiteral("session_handle"));
    // A string by the interface's description; some portals send an object path.
    session_ = handle.userType() == qMetaTypeId<QDBusObjectPath>() ? handle.value<QDBusObjectPath>().path()
                                                                    : handle.toString();
    if (session_.isEmpty())
        return fail(State::refused);
    bus_.connect(QString(), session_, sessionInterface, QStringLiteral("Closed"), this, SLOT(sessionClosed(QVariantMap)));

    const QString token = QStringLiteral("hollerhopper_bind%1").arg(generation_);
    QList<Shortcut> shortcuts;
    for (const Binding& binding : bindings_)
        shortcuts.append({binding.id,
                          {{QStringLiteral("description"), binding.description},
                           {QStringLiteral("preferred_trigger"), QString::fromStdString(binding.chord.toPortalTrigger())}}});
    const QVariantMap options{{QStringLiteral("handle_token"), token}};
    call(QStringLiteral("BindShortcuts"),
         {QVariant::fromValue(QDBusObjectPath(session_)), QVariant::fromValue(shortcuts), QString(), options}, token,
         SLOT(shortcutsBound(uint, QVariantMap)), State::refused);
}

void PortalShortcut::shortcutsBound(uint response, const QVariantMap&) {
    unsubscribe();
    if (response != 0)
        return fail(State::refused);
    HH_LOG_INFO(logcat::app, "push-to-talk key: bound through the desktop portal");
    emit stateChanged(State::bound);
}

// Activated or Deactivated (o session_handle, s shortcut_id, t timestamp, a{sv} options).
void PortalShortcut::shortcutSignal(const QDBusMessage& message) {
    const QList<QVariant> arguments = message.arguments();
    if (arguments.size() < 2 || session_.isEmpty())
        return;
    const QString session = arguments[0].value<QDBusObjectPath>().path();
    const QString id = arguments[1].toString();
    if (session != session_ || !has(id))
        return;
    const bool isDown = message.member() == QLatin1String("Activated");
    if (isDown == active_.contains(id))
        return; // a repeated signal is no new press or release
    if (isDown) {
        active_.append(id);
        emit activated(id);
    } else {
        active_.removeAll(id);
        emit deactivated(id);
    }
}

void PortalShortcut::releaseAll() {
    const QStringList held = std::exchange(active_, {});
    for (const QString& id : held)
        emit deactivated(id);
}

void PortalShortcut::sessionClosed(const QVariantMap&) {
    session_.clear();
    fail(State::lost);
}

void PortalShortcut::unsubscribe() {
    if (pendingRequest_.isEmpty())
        return;
    bus_.disconnect(QString(), pendingRequest_, requestInterface, QStringLiteral("Response"), this, pendingSlot_);
    pendingRequest_.clear();
}

void PortalShortcut::fail(State state) {
    unsubscribe();
    releaseAll();
    if (!session_.isEmpty()) {
        bus_.disconnect(QString(), session_, sessionInterface, QStringLiteral("Closed"), this, SLOT(sessionClosed(QVariantMap)));
        session_.clear();
    }
    ++generation_;
    emit stateChanged(state);
}

void PortalShortcut::stop() {
    ++generation_;
    unsubscribe();
    releaseAll();
    if (!session_.isEmpty()) {
        bus_.disconnect(QString(), session_, sessionInterface, QStringLiteral("Closed"), this, SLOT(sessionClosed(QVariantMap)));
        bus_.asyncCall(QDBusMessage::createMethodCall(portalService, session_, sessionInterface, QStringLiteral("Close")));
        session_.clear();
    }
}

} // namespace hh
