#include "app/adapters/ControllerAdapter.h"

#include "core/log/Log.h"
#include "core/net/Peer.h"

#include <QDateTime>
#include <QPointer>

#include <algorithm>
#include <optional>

namespace hh {

namespace {
QString reachName(Peer::Reach reach) {
    switch (reach) {
    case Peer::Reach::heard: return QStringLiteral("heard");
    case Peer::Reach::notHeard: return QStringLiteral("notHeard");
    case Peer::Reach::notResponding: return QStringLiteral("notResponding");
    }
    return QStringLiteral("heard");
}
} // namespace

ControllerAdapter::ControllerAdapter(std::unique_ptr<LinuxIntercom> intercom, std::shared_ptr<Executor> main,
                                     QObject* parent)
    : ControllerObject(parent), main_(std::move(main)), intercom_(std::move(intercom)) {
    QPointer<ControllerAdapter> self = this;
    controller().onChange = [self](PTTController::Property property) {
        if (self)
            self->copy(property);
    };
    using P = PTTController::Property;
    for (P property : {P::peers, P::talkingPeerName, P::isTransmitting, P::connectionState, P::isMuted,
                       P::isInboundBlocked, P::talkFailure, P::channel})
        copy(property);
    publishDisplayName(QString::fromStdString(controller().displayName()));
}

void ControllerAdapter::setDisplayName(const QString& name) {
    if (!isUsableDisplayName(name.trimmed()))
        return;
    controller().setDisplayName(name.trimmed().toStdString());
    publishDisplayName(QString::fromStdString(controller().displayName()));
}

QString ControllerAdapter::beginTalkingTo(const QString& name) {
    return refusalName(controller().beginTalkingTo(name.toStdString()));
}

QString ControllerAdapter::beginReply() { return refusalName(controller().beginReply()); }

QString ControllerAdapter::refusalName(std::optional<PTTController::Refusal> refusal) {
    if (!refusal) return {};
    switch (*refusal) {
    case PTTController::Refusal::unknownPeer: return QStringLiteral("unknownPeer");
    case PTTController::Refusal::notReachable: return QStringLiteral("notReachable");
    case PTTController::Refusal::nobodyToReply: return QStringLiteral("nobodyToReply");
    }
    return QStringLiteral("unknownPeer");
}

void ControllerAdapter::applyChannel(const QString& name, const QString& passphrase) {
    const auto choice = ++channelChoice_;
    if (passphrase.isEmpty()) {
        controller().setChannel(Channel());
        return;
    }
    if (!controller().isRunning()) {
        // At launch: on the channel before anything is sent, never for a moment on the open one.
        try {
            controller().setChannel(Channel::makePrivate(name.toStdString(), passphrase.toStdString()));
        } catch (const std::exception& e) {
            HH_LOG_ERROR(logcat::app, "cannot join the private channel: " << e.what());
        }
        return;
    }
    if (derivation_.joinable())
        derivation_.join();  // at most a fraction of a second: one derivation at a time
    QPointer<ControllerAdapter> self = this;
    std::weak_ptr<Executor> main = main_;
    derivation_ = std::thread([self, main, choice, name = name.toStdString(), passphrase = passphrase.toStdString()]() mutable {
        std::optional<Channel> channel;
        try {
            channel = Channel::makePrivate(std::move(name), passphrase);
        } catch (const std::exception& e) {
            HH_LOG_ERROR(logcat::app, "cannot join the private channel: " << e.what());
        }
        std::fill(passphrase.begin(), passphrase.end(), '\0');
        if (!channel)
            return;
        if (auto executor = main.lock())
            executor->post([self, choice, channel = std::move(*channel)]() mutable {
                if (self && self->channelChoice_ == choice)
                    self->controller().setChannel(std::move(channel));
            });
    });
}

ControllerAdapter::~ControllerAdapter() {
    if (derivation_.joinable())
        derivation_.join();
    // Stops the controller and releases its services in their order, here on
    // the main thread, while the executor is still alive.
    intercom_.reset();
}

void ControllerAdapter::copy(PTTController::Property property) {
    const PTTController& c = intercom_->controller();
    switch (property) {
    case PTTController::Property::peers: {
        QVariantList peers;
        for (const Peer& peer : c.peers())
            peers.append(QVariantMap{{QStringLiteral("id"), QString::fromStdString(peer.id)},
                                     {QStringLiteral("name"), QString::fromStdString(peer.name)},
                                     {QStringLiteral("reach"), reachName(peer.reach)},
                                     {QStringLiteral("isBeaconOnly"), peer.isBeaconOnly},
                                     {QStringLiteral("isTalkingToUs"), peer.talking == Peer::Talking::toUs}});
        publishPeers(std::move(peers));
        break;
    }
    case PTTController::Property::talkingPeerName:
    case PTTController::Property::talkingPeerNames: {
        QStringList names;
        for (const auto& name : c.talkingPeerNames()) names.append(QString::fromStdString(name));
        const auto& talkers = c.roster().talkers();
        publishTalkingPeers(std::move(names), QString::fromStdString(c.talkingPeerName().value_or(std::string())),
                            !talkers.empty() && talkers.back().isToUs);
        break;
    }
    case PTTController::Property::isTransmitting: publishTransmitting(c.isTransmitting()); break;
    case PTTController::Property::connectionState: publishConnectionState(c.connectionState()); break;
    case PTTController::Property::isMuted: publishMuted(c.isMuted()); break;
    case PTTController::Property::isInboundBlocked: publishInboundBlocked(c.isInboundBlocked()); break;
    case PTTController::Property::localNetworkAccess:
        if (onLocalNetworkAccessChanged) onLocalNetworkAccessChanged(c.localNetworkAccess());
        break;
    case PTTController::Property::talkFailure: publishTalkFailure(c.talkFailure()); break;
    case PTTController::Property::audioError:
        if (onAudioHealthChanged) onAudioHealthChanged();
        break;
    case PTTController::Property::isRunning: break; // not shown
    case PTTController::Property::recentMessages: {
        // Wall-clock times, for "2 min ago".
        const auto now = main_->now();
        const qint64 wallNow = QDateTime::currentMSecsSinceEpoch();
        QVariantList messages;
        const auto& kept = c.recentMessages().messages();
        for (auto m = kept.rbegin(); m != kept.rend(); ++m)
            messages.append(QVariantMap{
                {QStringLiteral("id"), double(m->id)},
                {QStringLiteral("name"), QString::fromStdString(m->name)},
                {QStringLiteral("isToUs"), m->isToUs},
                {QStringLiteral("endedAt"), double(wallNow - std::chrono::duration_cast<std::chrono::milliseconds>(now - m->end).count())},
                {QStringLiteral("seconds"), double(m->frames.size()) * WalkieConfig::frameSampleCount / WalkieConfig::sampleRate},
                {QStringLiteral("isUnheard"), m->isUnheard}});
        publishRecentMessages(std::move(messages));
        break;
    }
    case PTTController::Property::replyName:
        publishReplyName(QString::fromStdString(c.replyName().value_or(std::string())));
        break;
    case PTTController::Property::channel:
        publishChannel(QString::fromStdString(c.channel().name()), c.channel().isPrivate());
        break;
    case PTTController::Property::isWrongPassphrase: publishWrongPassphrase(c.isWrongPassphrase()); break;
    }
}

} // namespace hh
