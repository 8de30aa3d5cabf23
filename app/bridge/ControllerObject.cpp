#include "app/bridge/ControllerObject.h"

namespace hh {

void ControllerObject::publishPeers(QVariantList peers) {
    peers_ = std::move(peers);
    emit peersChanged();
}

void ControllerObject::publishTalkingPeers(QStringList names, QString latest) {
    hasTalkingPeer_ = !names.isEmpty();
    talkingPeerName_ = hasTalkingPeer_ ? std::move(latest) : QString();
    talkingPeerNames_ = std::move(names);
    emit talkingPeerChanged();
}

void ControllerObject::publishTalkingPeer(bool present, QString name) {
    publishTalkingPeers(present ? QStringList{name} : QStringList{}, name);
}

QString ControllerObject::talkersText() const {
    switch (talkingPeerNames_.size()) {
    case 0: return {};
    case 1: return tr("%1 is talking\u2026").arg(talkingPeerNames_[0]);
    case 2: return tr("%1 and %2 are talking\u2026").arg(talkingPeerNames_[0], talkingPeerNames_[1]);
    default: return tr("%1 and %n others are talking\u2026", nullptr, int(talkingPeerNames_.size()) - 1).arg(talkingPeerNames_[0]);
    }
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
