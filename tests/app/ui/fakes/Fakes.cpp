#include "fakes/Fakes.h"

#include <QQmlEngine>

namespace hh {

void FakeController::record(const QString& event) {
    emit countsChanged();
    if (onEvent)
        onEvent(event);
}

void FakeController::setMuted(bool muted) {
    publishMuted(muted);
    record(muted ? QStringLiteral("muted 1") : QStringLiteral("muted 0"));
}

void FakeController::start() {
    ++startCount;
    record(QStringLiteral("start"));
}

// Like the real controller: one talk start per spurt, and the transmitting
// flag follows at once.
void FakeController::beginTalking() {
    ++beginCount;
    publishTransmitting(true);
    record(QStringLiteral("beginTalking"));
}

void FakeController::endTalking() {
    ++endCount;
    publishTransmitting(false);
    record(QStringLiteral("endTalking"));
}

void FakeController::refreshTransport() {
    ++refreshCount;
    record(QStringLiteral("refreshTransport"));
}

void FakeController::setPeerNames(const QStringList& names) {
    QVariantList peers;
    for (const QString& name : names)
        peers.append(QVariantMap{{QStringLiteral("id"), name}, {QStringLiteral("name"), name}});
    publishPeers(peers);
}

void FakeController::resetCounts() {
    startCount = beginCount = endCount = refreshCount = 0;
    emit countsChanged();
}

void FakePermissions::refresh() {
    ++refreshCount;
    emit countsChanged();
    if (onEvent)
        onEvent(QStringLiteral("refresh"));
}

void FakePermissions::requestMicrophoneAccess() {
    ++requestCount;
    emit countsChanged();
    if (onEvent)
        onEvent(QStringLiteral("requestMicrophoneAccess"));
}

void FakePermissions::openPrivacySettings(bool localNetwork) {
    openedSettings.append(localNetwork);
    emit countsChanged();
    if (onEvent)
        onEvent(QStringLiteral("openPrivacySettings ") + (localNetwork ? QStringLiteral("1") : QStringLiteral("0")));
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

void FakePermissions::resetCounts() {
    refreshCount = requestCount = 0;
    openedSettings.clear();
    emit countsChanged();
}

void registerFakeTypes() {
    qmlRegisterType<FakeController>("Hollerhopper.Fakes", 1, 0, "FakeController");
    qmlRegisterType<FakeNetworkName>("Hollerhopper.Fakes", 1, 0, "FakeNetworkName");
    qmlRegisterType<FakePermissions>("Hollerhopper.Fakes", 1, 0, "FakePermissions");
    qmlRegisterType<MessageCenter>("Hollerhopper.Fakes", 1, 0, "MessageCenter");
}

} // namespace hh
