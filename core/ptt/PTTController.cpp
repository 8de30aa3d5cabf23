#include "core/ptt/PTTController.h"

#include "core/audio/AudioEngine.h"
#include "core/log/Log.h"
#include "core/net/Discovery.h"
#include "core/net/Peer.h"
#include "core/ptt/PresenceTracker.h"
#include "core/wire/Utf8.h"

#include <algorithm>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace hh {

namespace {
// Equal as Unicode text: "é" typed precomposed or as e + combining accent are the
// same name. Letter case counts.
bool isSameName(const std::string& a, const std::string& b) {
    if (a == b) return true;
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return false;
    const auto ua = icu::UnicodeString::fromUTF8(a), ub = icu::UnicodeString::fromUTF8(b);
    const auto na = nfc->normalize(ua, status), nb = nfc->normalize(ub, status);
    return U_SUCCESS(status) && na == nb;
}

LocalNetworkAccess localNetworkAccessFrom(std::optional<Discovery::BrowseState> browse, const Transport::State& group) {
    if (!browse) return LocalNetworkAccess::unknown;
    switch (*browse) {
    case Discovery::BrowseState::browsing: return LocalNetworkAccess::granted;
    case Discovery::BrowseState::refused: return LocalNetworkAccess::denied;
    case Discovery::BrowseState::failed: return LocalNetworkAccess::unknown;
    case Discovery::BrowseState::noDaemon: break;
    }
    // Without a DNS-SD daemon our own join tells whether the system lets us on
    // the network; a failure of another kind (no interface yet) tells nothing.
    if (group.kind == Transport::State::Kind::ready) return LocalNetworkAccess::granted;
    if (group.kind == Transport::State::Kind::failed && group.isRefused) return LocalNetworkAccess::denied;
    return LocalNetworkAccess::unknown;
}

} // namespace

// A talker silent for more than the time-out ends: checked just after it.
constexpr auto talkerCheckDelay = seconds(WalkieConfig::talkerTimeout) + std::chrono::milliseconds(1);

PTTController::PTTController(std::string displayName, Uuid senderID, Components components)
    : main_(std::move(components.main)),
      displayName_(std::move(displayName)),
      senderID_(senderID),
      transport_(std::make_shared<Transport>(std::move(components.network))),
      audio_(std::make_shared<AudioEngine>(std::move(components.audio))),
      discovery_(std::make_shared<Discovery>(displayName_, std::move(components.dnsSd))),
      presence_(std::make_shared<PresenceTracker>(main_, senderID_)) {}

PTTController::~PTTController() = default;

void PTTController::notify(Property property) {
    if (onChange) onChange(property);
}

std::optional<TalkerPlayout> PTTController::playout(const Uuid& talker) const {
    return audio_ ? audio_->mixer().playout(talker) : std::nullopt;
}

void PTTController::setMuted(bool muted) {
    isMuted_ = muted;
    notify(Property::isMuted);
}

void PTTController::setDisplayName(std::string displayName) {
    if (displayName.empty() || displayName == displayName_) return;
    displayName_ = std::move(displayName);
    discovery_->setDisplayName(displayName_);
}

void PTTController::setTransmitting(bool value) {
    isTransmitting_ = value;
    notify(Property::isTransmitting);
}

void PTTController::setConnectionState(ConnectionState value) {
    // The same state again (each transport report while audio fails) is no news.
    if (value == connectionState_) return;
    connectionState_ = std::move(value);
    notify(Property::connectionState);
    if (connectionState_.kind == ConnectionState::Kind::ready) setTalkFailure(std::nullopt);
}

void PTTController::setTalkFailure(std::optional<TalkFailure> value) {
    if (value == talkFailure_) return;
    talkFailure_ = std::move(value);
    notify(Property::talkFailure);
}

void PTTController::setTalkingPeerName(std::optional<std::string> value) {
    talkingPeerName_ = std::move(value);
    notify(Property::talkingPeerName);
}

void PTTController::start() {
    if (isRunning_) return;
    std::weak_ptr<PTTController> weak = weak_from_this();
    // Callbacks hold the main executor weakly too: a task kept by the executor
    // must not keep the executor itself alive.
    std::weak_ptr<Executor> main = main_;
    transport_->onState = [weak, main](const Transport::State& state) {
        if (auto executor = main.lock()) executor->post([weak, state] {
            if (auto self = weak.lock()) self->applyTransportState(state);
        });
    };
    transport_->onPacket = [weak, main, ownID = senderID_](const WalkiePacket& packet) {
        // Our own audio, looped back 50 times a second, is not worth a wake-up of
        // the main thread: beacons and talk starts prove the inbound path.
        if (packet.type == PacketType::audio && packet.senderID == ownID) return;
        if (auto executor = main.lock()) executor->post([weak, packet] {
            if (auto self = weak.lock()) self->handlePacket(packet);
        });
    };
    transport_->onWrongPassphrase = [weak, main](bool isWrong) {
        if (auto executor = main.lock()) executor->post([weak, isWrong] {
            auto self = weak.lock();
            if (!self || self->isWrongPassphrase_ == isWrong) return;
            self->isWrongPassphrase_ = isWrong;
            self->notify(Property::isWrongPassphrase);
        });
    };
    discovery_->onPeersChanged = [weak, main](std::vector<Peer> peers) {
        if (auto executor = main.lock()) executor->post([weak, peers = std::move(peers)]() mutable {
            if (auto self = weak.lock()) self->updatePeers(std::move(peers));
        });
    };
    discovery_->onBrowseStateChanged = [weak, main](Discovery::BrowseState state) {
        if (auto executor = main.lock()) executor->post([weak, state] {
            if (auto self = weak.lock()) self->applyBrowseState(state);
        });
    };
    audio_->onHealthChanged = [weak, main](std::optional<std::string> error) {
        if (auto executor = main.lock()) executor->post([weak, error = std::move(error)]() mutable {
            if (auto self = weak.lock()) self->applyAudioHealth(std::move(error));
        });
    };
    startPresence();
    // Straight from the capture thread: 50 packets a second need no hop.
    audio_->captureFrameHandler = [weak](const Bytes& frame) {
        if (auto self = weak.lock()) self->sendAudioFrame(frame);
    };

    try {
        audio_->start();
    } catch (const std::exception& e) {
        // The platform has logged it; the connection state shows it.
        applyAudioHealth(e.what());
    }
    transport_->start();
    startDiscoveryForChannel();
    if (!talkerTimeout_) talkerTimeout_ = std::make_unique<OneShotTimer>(*main_, [weak] {
        if (auto self = weak.lock()) self->checkTalkerTimeout();
    });
    if (!talkers_.empty()) checkTalkerTimeout();  // heard before a stop
    isRunning_ = true;
    notify(Property::isRunning);
}

void PTTController::applyTransportState(const Transport::State& state) {
    groupState_ = state;
    updateLocalNetworkAccess();
    presence_->setOnAir(state.kind == Transport::State::Kind::ready);
    switch (state.kind) {
    case Transport::State::Kind::setup: networkState_ = {ConnectionState::Kind::connecting, {}}; break;
    case Transport::State::Kind::ready: networkState_ = {ConnectionState::Kind::ready, {}}; break;
    case Transport::State::Kind::cancelled: networkState_ = {ConnectionState::Kind::stopped, {}}; break;
    case Transport::State::Kind::failed:
        networkState_ = state.isNoNetwork ? ConnectionState{ConnectionState::Kind::noNetwork, {}}
                                          : ConnectionState::networkError(state.message);
        break;
    }
    showConnectionState();
}

void PTTController::applyBrowseState(Discovery::BrowseState state) {
    if (channel_.isPrivate()) return;  // a report from before the switch
    // Without DNS-SD the peers whose beacons arrive are listed instead.
    presence_->setDnsSdAvailable(state == Discovery::BrowseState::browsing);
    browseState_ = state;
    updateLocalNetworkAccess();
}

void PTTController::startDiscoveryForChannel() {
    if (!channel_.isPrivate()) {
        discovery_->start();
        return;
    }
    // Our name and service in DNS-SD would tell everyone on the link who is
    // on some private channel; beacons list the peers instead, and our own
    // join answers for local-network access.
    discovery_->stop();
    presence_->setDnsSdPeers({});
    browseState_ = Discovery::BrowseState::noDaemon;
    presence_->setDnsSdAvailable(false);
    updateLocalNetworkAccess();
}

void PTTController::setChannel(Channel channel) {
    if (channel == channel_) return;
    // A press in progress ends where it began; nothing of it reaches the new channel.
    if (isTransmitting_) {
        setTransmitting(false);
        isTalkEndPending_ = true;
    }
    if (isTalkEndPending_) sendTalkEnd();
    channel_ = std::move(channel);
    transport_->setChannel(channel_);
    HH_LOG_INFO(logcat::ptt, "switched to " << (channel_.isPrivate() ? "a private channel" : "the open channel"));
    // Those talking and present on the old channel are not on this one.
    std::vector<Uuid> talking;
    for (const auto& talker : talkers_) talking.push_back(talker.id);
    for (const auto& id : talking) endTalker(id, std::nullopt);
    if (isWrongPassphrase_) {
        isWrongPassphrase_ = false;
        notify(Property::isWrongPassphrase);
    }
    if (isRunning_) {
        presence_->stop();
        presence_->start();
        startDiscoveryForChannel();
    }
    notify(Property::channel);
}

void PTTController::updateLocalNetworkAccess() {
    const auto access = localNetworkAccessFrom(browseState_, groupState_);
    if (access == localNetworkAccess_) return;
    localNetworkAccess_ = access;
    notify(Property::localNetworkAccess);
}

void PTTController::applyAudioHealth(std::optional<std::string> error) {
    if (error == audioError_) return;
    audioError_ = std::move(error);
    notify(Property::audioError);
    if (isRunning_ || audioError_) showConnectionState();
}

void PTTController::showConnectionState() {
    const auto kind = networkState_.kind;
    if (audioError_ && kind != ConnectionState::Kind::networkError && kind != ConnectionState::Kind::noNetwork &&
        kind != ConnectionState::Kind::stopped)
        setConnectionState(ConnectionState::audioError(*audioError_));
    else
        setConnectionState(networkState_);
}

void PTTController::updatePeers(std::vector<Peer> peers) {
    std::erase_if(peers, [this](const Peer& p) { return isSameName(p.name, displayName_); });
    presence_->setDnsSdPeers(std::move(peers));  // publishes through onPeersChanged
}

std::optional<TalkFailure> PTTController::pressObstacle() const {
    // A platform that reconnects on its own accepts a capture while its server
    // is away: its health report is what tells.
    if (audioError_) return TalkFailure{TalkFailure::Kind::audio, *audioError_};
    switch (networkState_.kind) {
    case ConnectionState::Kind::ready: return std::nullopt;
    case ConnectionState::Kind::noNetwork: return TalkFailure{TalkFailure::Kind::noNetwork, {}};
    default: return TalkFailure{TalkFailure::Kind::notConnected, {}};
    }
}

void PTTController::beginTalking() {
    if (!isRunning_ || isTransmitting_) return;
    auto obstacle = pressObstacle();
    if (!obstacle) {
        // A press during the tail carries on the same capture.
        audio_->startCapture();
        if (!audio_->isCapturing()) obstacle = TalkFailure{TalkFailure::Kind::noMicrophone, {}};
    }
    if (obstacle) {
        if (obstacle != talkFailure_)
            HH_LOG_INFO(logcat::ptt, "a press did not go on air: " << (obstacle->detail.empty() ? "not ready" : obstacle->detail));
        setTalkFailure(std::move(obstacle));
        cue(Cue::failed);
        return;
    }
    setTransmitting(true);
    setTalkFailure(std::nullopt);
    isTalkEndPending_ = false;
    frameIndex_.store(0);
    send(PacketType::talkStart, 0, Bytes(displayName_.begin(), displayName_.end()));
    isSendingAudio_.store(true);
    cue(Cue::onAir);
}

void PTTController::sendAudioFrame(const Bytes& frame) {
    if (!isSendingAudio_.load()) return;  // before the talk start, or after the talk end
    send(PacketType::audio, frameIndex_.fetch_add(1), frame);
}

// Any thread: the counters are atomic, the rest is fixed at construction.
void PTTController::send(PacketType type, std::uint32_t frameIndex, Bytes payload) {
    WalkiePacket packet;
    packet.type = type;
    packet.senderID = senderID_;
    packet.sequence = sequence_.fetch_add(1);
    packet.frameIndex = frameIndex;
    packet.payload = std::move(payload);
    transport_->send(packet);
}

void PTTController::endTalking() {
    if (!isTransmitting_) return;
    setTransmitting(false);
    isTalkEndPending_ = true;
    // The tail holds the controller, so the talk end goes out even if the owner lets go.
    main_->postAfter(seconds(releaseTailSeconds), [self = shared_from_this()] {
        // Pressed again during the tail, or stop() has sent it already.
        if (self->isTransmitting_ || !self->isTalkEndPending_) return;
        self->sendTalkEnd();
        self->cue(Cue::released);
    });
}

void PTTController::sendTalkEnd() {
    isTalkEndPending_ = false;
    audio_->stopCapture();  // hands over the padded last frame first
    isSendingAudio_.store(false);
    const auto frameCount = frameIndex_.load();
    send(PacketType::talkEnd, frameCount, {});
    if (onTalkEndSent) onTalkEndSent(frameCount);
}

void PTTController::stop() {
    if (!isRunning_) return;
    // A held press ends as a release would, less the tail: peers must not keep
    // showing us until their time-out. The transport sends it before it stops.
    if (isTransmitting_) {
        setTransmitting(false);
        isTalkEndPending_ = true;
    }
    if (isTalkEndPending_) sendTalkEnd();
    transport_->stop();
    discovery_->stop();
    audio_->stop();
    presence_->stop();
    if (talkerTimeout_) talkerTimeout_->cancel();
    isRunning_ = false;
    notify(Property::isRunning);
    networkState_ = {ConnectionState::Kind::stopped, {}};
    audioError_.reset();
    setConnectionState(networkState_);
    setTalkFailure(std::nullopt);
}

void PTTController::setNoiseSuppression(bool enabled) { audio_->setNoiseSuppression(enabled); }

bool PTTController::isNoiseSuppressing() const { return audio_->isNoiseSuppressing(); }

// Posted, so a cue follows the packets its operation queued and its callback
// never runs inside the operation.
void PTTController::cue(Cue which) {
    if (!isCuesEnabled_) return;
    main_->post([weak = weak_from_this(), which] {
        auto self = weak.lock();
        if (!self || !self->isRunning_ || !self->isCuesEnabled_) return;
        if (which == Cue::incoming && (self->isMuted_ || self->isTransmitting_)) return;
        self->audio_->playCue(which);
        if (self->onCue) self->onCue(which);
    });
}

// Presence: beacons and path health.

bool PTTController::isInboundBlocked() const { return presence_->isInboundBlocked(); }

void PTTController::startPresence() {
    std::weak_ptr<PTTController> weak = weak_from_this();
    presence_->onBeacon = [weak] {
        if (auto self = weak.lock()) self->sendBeacon();
    };
    presence_->onPeersChanged = [weak] {
        auto self = weak.lock();
        if (!self) return;
        self->peers_ = self->presence_->peers();
        self->notify(Property::peers);
    };
    presence_->onInboundBlockedChanged = [weak] {
        if (auto self = weak.lock()) self->notify(Property::isInboundBlocked);
    };
    presence_->start();
}

void PTTController::sendBeacon() {
    // The current name: it may have changed since the last beacon.
    send(PacketType::hello, 0, Bytes(displayName_.begin(), displayName_.end()));
}

void PTTController::refreshTransport() {
    if (isRunning_) transport_->restart();
}

// Receive path and talker tracking.

void PTTController::handlePacket(const WalkiePacket& packet) {
    presence_->packetReceived(packet);  // our own too: they prove the inbound path
    if (packet.senderID == senderID_) return;  // our own, looped back by the group
    if (onPacketHeard) onPacketHeard(packet);
    switch (packet.type) {
    case PacketType::audio:
        if (!isMuted_ && !isTransmitting_) audio_->enqueue(packet.senderID, packet.frameIndex, packet.payload);
        markTalker(packet.senderID);
        break;
    case PacketType::talkStart:
        recordName(packet.senderID, packet.payload);
        audio_->beginSpurt(packet.senderID);
        markTalker(packet.senderID);
        break;
    case PacketType::hello: recordName(packet.senderID, packet.payload); break;
    case PacketType::talkEnd: endTalker(packet.senderID, packet.frameIndex); break;
    }
}

void PTTController::recordName(const Uuid& sender, const Bytes& payload) {
    if (payload.empty() || !isValidUtf8({reinterpret_cast<const char*>(payload.data()), payload.size()})) return;  // an earlier name stays
    std::string name(payload.begin(), payload.end());
    auto found = talkerNames_.find(sender);
    if (found != talkerNames_.end()) {
        found->second = std::move(name);
        std::erase(talkerOrder_, sender);
    } else {
        // Senders pick a fresh ID at every launch and anyone may send: keep the
        // most recently announced names only, but never a current talker's.
        const auto isTalking = [this](const Uuid& id) {
            return std::any_of(talkers_.begin(), talkers_.end(), [&](const Talker& t) { return t.id == id; });
        };
        while (talkerNames_.size() >= maximumTalkerNames) {
            auto victim = std::find_if(talkerOrder_.begin(), talkerOrder_.end(),
                                       [&](const Uuid& id) { return !isTalking(id); });
            if (victim == talkerOrder_.end()) break;
            talkerNames_.erase(*victim);
            talkerOrder_.erase(victim);
        }
        talkerNames_.emplace(sender, std::move(name));
    }
    talkerOrder_.push_back(sender);
    publishTalkers();  // a talker may have renamed
}

void PTTController::markTalker(const Uuid& sender) {
    auto found = std::find_if(talkers_.begin(), talkers_.end(), [&](const Talker& t) { return t.id == sender; });
    if (found != talkers_.end()) {
        found->lastActivity = main_->now();
        return;
    }
    if (talkers_.size() >= maximumTalkers) return;  // the mixer does not play them either
    // Someone starts into silence; not every talker who joins a conversation.
    if (talkers_.empty()) cue(Cue::incoming);
    talkers_.push_back({sender, main_->now()});
    // Set for the earliest talker; it moves on to the next when due.
    if (talkerTimeout_ && !talkerTimeout_->isPending()) talkerTimeout_->runAt(main_->now() + talkerCheckDelay);
    publishTalkers();
}

void PTTController::endTalker(const Uuid& sender, std::optional<std::uint32_t> frameCount) {
    audio_->endSpurt(sender, frameCount);
    if (std::erase_if(talkers_, [&](const Talker& t) { return t.id == sender; }) > 0) publishTalkers();
}

void PTTController::publishTalkers() {
    std::vector<std::string> names;
    names.reserve(talkers_.size());
    for (const auto& talker : talkers_) {
        auto found = talkerNames_.find(talker.id);
        names.push_back(found != talkerNames_.end() ? found->second : fallbackTalkerName);
    }
    std::optional<std::string> latest;
    if (!names.empty()) latest = names.back();
    if (names != talkingPeerNames_) {
        talkingPeerNames_ = std::move(names);
        notify(Property::talkingPeerNames);
    }
    if (latest != talkingPeerName_) setTalkingPeerName(std::move(latest));
}

void PTTController::checkTalkerTimeout() {
    const auto now = main_->now();
    std::vector<Uuid> silent;
    for (const auto& talker : talkers_)
        if (now - talker.lastActivity > seconds(WalkieConfig::talkerTimeout)) silent.push_back(talker.id);
    for (const auto& id : silent) endTalker(id, std::nullopt);
    if (talkers_.empty()) return;
    auto quietest = std::min_element(talkers_.begin(), talkers_.end(), [](const Talker& a, const Talker& b) {
        return a.lastActivity < b.lastActivity;
    });
    talkerTimeout_->runAt(quietest->lastActivity + talkerCheckDelay);
}

} // namespace hh
