#include "app/bridge/ControllerObject.h"

#include "app/bridge/DisplayText.h"

#include "core/net/Peer.h"

#include <algorithm>

namespace hh {

// In the roster's order: sorted as people count.
void ControllerObject::publishPeers(QVariantList peers) {
    for (QVariant& entry : peers) {
        QVariantMap map = entry.toMap();
        const QString name = map.value(QStringLiteral("name")).toString();
        map.insert(QStringLiteral("label"), hh::displayName(name)); // the free function, not the property
        map.insert(QStringLiteral("spokenName"), hh::displayName(name, false));
        if (!map.contains(QStringLiteral("reach")))
            map.insert(QStringLiteral("reach"), QStringLiteral("heard"));
        entry = map;
    }
    peers_ = std::move(peers);
    emit peersChanged();
}

QString ControllerObject::talkingPeerLabel() const {
    return hasTalkingPeer_ ? hh::displayName(talkingPeerName_) : QString();
}

void ControllerObject::publishRecentMessages(QVariantList messages) {
    for (QVariant& entry : messages) {
        QVariantMap map = entry.toMap();
        map.insert(QStringLiteral("label"), hh::displayName(map.value(QStringLiteral("name")).toString()));
        entry = map;
    }
    recentMessages_ = std::move(messages);
    emit recentMessagesChanged();
}

bool ControllerObject::hasUnheardMessages() const {
    return std::any_of(recentMessages_.begin(), recentMessages_.end(),
                       [](const QVariant& m) { return m.toMap().value(QStringLiteral("isUnheard")).toBool(); });
}

void ControllerObject::publishReplyName(QString value) {
    replyName_ = std::move(value);
    emit replyNameChanged();
}

void ControllerObject::publishInboundBlocked(bool value) {
    isInboundBlocked_ = value;
    emit isInboundBlockedChanged();
}

void ControllerObject::publishTalkingPeers(QStringList names, QString latest, bool isLatestToUs) {
    hasTalkingPeer_ = !names.isEmpty();
    isTalkingToUs_ = names.size() == 1 && isLatestToUs;
    talkingPeerName_ = hasTalkingPeer_ ? std::move(latest) : QString();
    talkingPeerNames_ = std::move(names);
    emit talkingPeerChanged();
}

void ControllerObject::publishTalkingPeer(bool present, QString name) {
    publishTalkingPeers(present ? QStringList{name} : QStringList{}, name);
}

QString ControllerObject::talkersText() const {
    const auto name = [this](qsizetype i) { return hh::displayName(talkingPeerNames_[i]); };
    switch (talkingPeerNames_.size()) {
    case 0: return {};
    case 1: return isTalkingToUs_ ? tr("%1 is talking to you\u2026").arg(name(0)) : tr("%1 is talking\u2026").arg(name(0));
    case 2: return tr("%1 and %2 are talking\u2026").arg(name(0), name(1));
    default: return tr("%1 and %n others are talking\u2026", nullptr, int(talkingPeerNames_.size()) - 1).arg(name(0));
    }
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
    case ConnectionState::Kind::ready: return tr("Ready");
    case ConnectionState::Kind::stopped: return tr("stopped");
    case ConnectionState::Kind::noNetwork: return tr("No network connection");
    case ConnectionState::Kind::networkError: return tr("network error: %1").arg(detail);
    case ConnectionState::Kind::audioError: return tr("audio error: %1").arg(detail);
    }
    return {};
}

void ControllerObject::publishConnectionState(ConnectionState value) {
    connectionState_ = std::move(value);
    emit connectionStateChanged();
}

QString ControllerObject::talkFailureText() const {
    if (!talkFailure_)
        return {};
    switch (talkFailure_->kind) {
    case TalkFailure::Kind::audio: return tr("Not sent: %1").arg(QString::fromStdString(talkFailure_->detail));
    case TalkFailure::Kind::noMicrophone: return tr("Not sent: no microphone was found");
    case TalkFailure::Kind::noNetwork: return tr("Not sent: no network connection");
    case TalkFailure::Kind::notConnected: return tr("Not sent: not connected yet");
    }
    return {};
}

void ControllerObject::publishTalkFailure(std::optional<TalkFailure> value) {
    talkFailure_ = std::move(value);
    emit talkFailureChanged();
}

void ControllerObject::publishMuted(bool value) {
    isMuted_ = value;
    emit isMutedChanged();
}

bool ControllerObject::isUsableDisplayName(const QString& name) { return isUsableName(name.toStdString()); }

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

bool ControllerObject::isUsableChannelName(const QString& name) { return isUsableName(name.toStdString()); }

bool ControllerObject::setChannel(const QString& name, const QString& passphrase) {
    const QString trimmed = name.trimmed();
    const bool isOpen = passphrase.isEmpty() && (trimmed.isEmpty() || trimmed == QLatin1String("Everyone"));
    if (!isOpen && (passphrase.isEmpty() || !isUsableChannelName(trimmed)))
        return false;
    const QString chosen = isOpen ? QStringLiteral("Everyone") : trimmed;
    emit channelChosen(chosen, passphrase);
    applyChannel(chosen, passphrase);
    return true;
}

void ControllerObject::applyChannel(const QString& name, const QString& passphrase) {
    publishChannel(name, !passphrase.isEmpty());
}

void ControllerObject::publishChannel(QString name, bool isPrivate) {
    if (name == channelName_ && isPrivate == isChannelPrivate_)
        return;
    channelName_ = std::move(name);
    isChannelPrivate_ = isPrivate;
    emit channelChanged();
}

void ControllerObject::publishWrongPassphrase(bool value) {
    if (value == isWrongPassphrase_)
        return;
    isWrongPassphrase_ = value;
    emit isWrongPassphraseChanged();
}

} // namespace hh
