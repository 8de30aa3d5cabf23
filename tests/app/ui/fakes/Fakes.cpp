#include "fakes/Fakes.h"

#include <QMap>
#include <QQmlEngine>

namespace hh {

void FakeController::setPeerNames(const QStringList& names) {
    QVariantList peers;
    for (const QString& name : names)
        peers.append(QVariantMap{{QStringLiteral("id"), name}, {QStringLiteral("name"), name}});
    publishPeers(peers);
}

void FakeController::setConnectionState(const QString& kind, const QString& detail) {
    using K = ConnectionState::Kind;
    const QMap<QString, K> kinds{{QStringLiteral("starting"), K::starting}, {QStringLiteral("connecting"), K::connecting},
                                        {QStringLiteral("ready"), K::ready}, {QStringLiteral("stopped"), K::stopped},
                                        {QStringLiteral("networkError"), K::networkError},
                                        {QStringLiteral("audioError"), K::audioError}};
    Q_ASSERT(kinds.contains(kind));
    publishConnectionState({kinds.value(kind), detail.toStdString()});
}

void FakeController::setPeers(const QVariantList& entries) {
    QVariantList peers;
    for (const QVariant& entry : entries) {
        QVariantMap map = entry.toMap();
        if (!map.contains(QStringLiteral("id")))
            map.insert(QStringLiteral("id"), map.value(QStringLiteral("name")));
        peers.append(map);
    }
    publishPeers(peers);
}

void FakePermissions::setStatuses(const QString& microphone, const QString& localNetwork) {
    QStringList missing;
    if (microphone == QLatin1String("denied") || microphone == QLatin1String("notDetermined"))
        missing << QStringLiteral("Microphone");
    if (localNetwork == QLatin1String("denied"))
        missing << QStringLiteral("Local Network");
    const bool all = microphone == QLatin1String("granted") && localNetwork == QLatin1String("granted");
    publish(microphone, localNetwork, all, missing);
}

void registerFakeTypes() {
    qmlRegisterType<FakeHotkey>("Hollerhopper.Fakes", 1, 0, "FakeHotkey");
    qmlRegisterType<FakeController>("Hollerhopper.Fakes", 1, 0, "FakeController");
    qmlRegisterType<FakeNetworkName>("Hollerhopper.Fakes", 1, 0, "FakeNetworkName");
    qmlRegisterType<FakePermissions>("Hollerhopper.Fakes", 1, 0, "FakePermissions");
    qmlRegisterType<MessageCenter>("Hollerhopper.Fakes", 1, 0, "MessageCenter");
}

} // namespace hh
