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

} // namespace hh
