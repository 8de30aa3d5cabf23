#include "fakes/Fakes.h"

#include <QQmlEngine>

namespace hh {

void FakeController::setPeerNames(const QStringList& names) {
    QVariantList peers;
    for (const QString& name : names)
        peers.append(QVariantMap{{QStringLiteral("id"), name}, {QStringLiteral("name"), name}});
    publishPeers(peers);
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
    qmlRegisterType<FakeController>("Hollerhopper.Fakes", 1, 0, "FakeController");
    qmlRegisterType<FakeNetworkName>("Hollerhopper.Fakes", 1, 0, "FakeNetworkName");
    qmlRegisterType<FakePermissions>("Hollerhopper.Fakes", 1, 0, "FakePermissions");
    qmlRegisterType<MessageCenter>("Hollerhopper.Fakes", 1, 0, "MessageCenter");
}

} // namespace hh
