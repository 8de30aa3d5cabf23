#include "app/bridge/ControllerObject.h"

namespace hh {

void ControllerObject::publishPeers(QVariantList peers) {
    peers_ = std::move(peers);
    emit peersChanged();
}

void ControllerObject::publishTalkingPeer(bool present, QString name) {
    hasTalkingPeer_ = present;
    talkingPeerName_ = present ? std::move(name) : QString();
    emit talkingPeerChanged();
}

void ControllerObject::publishTransmitting(bool value) {
    isTransmitting_ = value;
    emit isTransmittingChanged();
}

void ControllerObject::publishConnectionState(QString value) {
    connectionState_ = std::move(value);
    emit connectionStateChanged();
}

void ControllerObject::publishMuted(bool value) {
    isMuted_ = value;
    emit isMutedChanged();
}

bool ControllerObject::isUsableDisplayName(const QString& name) {
    const QByteArray utf8 = name.toUtf8();
    return !name.trimmed().isEmpty() && utf8.size() <= 63 && !name.contains(QLatin1Char('\n'));
}

void ControllerObject::setDisplayName(const QString& name) {
    if (isUsableDisplayName(name.trimmed()))
        publishDisplayName(name.trimmed());
}

void ControllerObject::publishDisplayName(QString value) {
    if (displayName_ == value)
        return;
    displayName_ = std::move(value);
    emit displayNameChanged();
}

} // namespace hh
