#include "app/shell/ColorScheme.h"

#include "app/DesktopPortal.h"
#include "app/shell/Logging.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QEvent>
#include <QGuiApplication>
#include <QPalette>

namespace hh {

namespace {
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearance = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");

// Read gives the value in one variant more than SettingChanged does.
QVariant unwrapped(QVariant value) {
    while (value.userType() == qMetaTypeId<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value;
}
} // namespace

ColorScheme::ColorScheme(QDBusConnection bus, QObject* parent) : QObject(parent), bus_(std::move(bus)) {}

void ColorScheme::start() {
    qApp->installEventFilter(this);
    bus_.connect(QString(), portalPath, settingsInterface, QStringLiteral("SettingChanged"), this,
                 SLOT(settingChanged(QDBusMessage)));
    QDBusMessage read = QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface, QStringLiteral("Read"));
    read << appearance << colorSchemeKey;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(read), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *call;
        if (reply.isError()) {
            // Normal on desktops without a portal: the palette decides.
            qCInfo(logShell).noquote() << "no colour scheme from the settings portal:" << reply.error().message();
            return;
        }
        apply(reply.value().variant());
    });
}

bool ColorScheme::isDark() const {
    if (preference_ != Preference::none)
        return preference_ == Preference::dark;
    return QGuiApplication::palette().color(QPalette::Active, QPalette::Window).lightnessF() < 0.5;
}

void ColorScheme::settingChanged(const QDBusMessage& message) {
    const QVariantList arguments = message.arguments();
    if (arguments.size() == 3 && arguments[0].toString() == appearance && arguments[1].toString() == colorSchemeKey)
        apply(arguments[2]);
}

void ColorScheme::apply(const QVariant& value) {
    // 1: prefers dark, 2: prefers light, anything else: no preference.
    const uint code = unwrapped(value).toUInt();
    const Preference preference = code == 1 ? Preference::dark : code == 2 ? Preference::light : Preference::none;
    if (preference == preference_)
        return;
    const bool wasDark = isDark();
    preference_ = preference;
    if (isDark() != wasDark)
        emit changed();
}

bool ColorScheme::eventFilter(QObject* watched, QEvent* event) {
    if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange && preference_ == Preference::none)
        emit changed();
    return QObject::eventFilter(watched, event);
}

} // namespace hh
