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

QString ControllerObject::connectionState() const {
    const QString detail = QString::fromStdString(connectionState_.detail);
    switch (connectionState_.kind) {
    case ConnectionState::Kind::starting: return tr("starting\u2026");
    case ConnectionState::Kind::connecting: return tr("connecting\u2026");
    case ConnectionState::Kind::onAir: return tr("on air");
    case ConnectionState::Kind::stopped: return tr("stopped");
    case ConnectionState::Kind::networkError: return tr("network error: %1").arg(detail);
    case ConnectionState::Kind::audioError: return tr("audio error: %1").arg(detail);
    }
    return {};
}

void ControllerObject::publishConnectionState(ConnectionState value) {
    connectionState_ = std::move(value);
    emit connectionStateChanged();
}

void ControllerObject::publishMuted(bool value) {
    isMuted_ = value;
    emit isMutedChanged();
}

} // namespace hh
