#include "core/ptt/PTTController.h"

#include "core/audio/AudioEngine.h"
#include "core/log/Log.h"
#include "core/wire/Utf8.h"
#include "core/net/Discovery.h"
#include "core/net/Peer.h"

#include <algorithm>
#include <atomic>

namespace hh {

namespace {

// Packets handed from the network thread to the main thread and not yet
// handled. A flood the main thread cannot keep up with would otherwise queue
// without bound; past the limit (about a second of a heavy flood, under a
// megabyte) packets are dropped where they arrive until it catches up.
class PacketBacklog {
public:
    static constexpr std::size_t limit = 1024;
    // Network thread only.
    bool tryAdd() {
        if (pending_.load(std::memory_order_relaxed) >= limit) {
            log_.failed("more packets than it can handle: dropping them until it catches up");
            return false;
        }
        if (log_.isFailing()) log_.succeeded();
        pending_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    // Main thread: one handed packet handled.
    void done() { pending_.fetch_sub(1, std::memory_order_relaxed); }

private:
    std::atomic<std::size_t> pending_{0};
    FailureLog log_{logcat::ptt, "receiving"};
};

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

PTTController::PTTController(std::string displayName, Uuid senderID, Components components)
    : main_(std::move(components.main)),
      displayName_(std::move(displayName)),
      senderID_(senderID),
      transport_(std::make_shared<Transport>(std::move(components.network))),
      audio_(std::make_shared<AudioEngine>(std::move(components.audio))),
      discovery_(std::make_shared<Discovery>(displayName_, std::move(components.dnsSd))),
      roster_(std::make_shared<Roster>(main_, senderID_, PlayoutMixer::maximumTalkers)), recent_(*main_),
      replyExpiry_(*main_, [this] { updateReplyName(); }), playbackFeed_(*main_, [this] { feedPlayback(); }) {
    roster_->setOwnName(displayName_);
    recent_.onChanged = [this] { notify(Property::recentMessages); };
}

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
    roster_->setOwnName(displayName_);
}

void PTTController::setAdvertised(bool isAdvertised) { discovery_->setAdvertised(isAdvertised); }

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
    // Our own audio, looped back 50 times a second, is not worth a wake-up of
    // the main thread: beacons and talk starts prove the inbound path.
    transport_->ignoredAudioSender = senderID_;
    transport_->onPacket = [weak, main, backlog = std::make_shared<PacketBacklog>()](const WalkiePacket& packet,
                                                                                   const DatagramOrigin& origin) {
        auto executor = main.lock();
        if (!executor || !backlog->tryAdd()) return;
        executor->post([weak, packet, origin, backlog] {
            backlog->done();
            if (auto self = weak.lock()) self->handlePacket(packet, origin);
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
    startRoster();
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
    isRunning_ = true;
    notify(Property::isRunning);
}

void PTTController::applyTransportState(const Transport::State& state) {
    groupState_ = state;
    updateLocalNetworkAccess();
    roster_->setOnAir(state.kind == Transport::State::Kind::ready);
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
    // Without DNS-SD only the senders heard count as peers.
    if (state != Discovery::BrowseState::browsing) peerEncodings_.setListed(std::nullopt);
    // Without DNS-SD the peers whose beacons arrive are listed instead.
    roster_->setDnsSdAvailable(state == Discovery::BrowseState::browsing);
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
    roster_->setDnsSdPeers({});
    peerEncodings_.setListed(std::nullopt);
    browseState_ = Discovery::BrowseState::noDaemon;
    roster_->setDnsSdAvailable(false);
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
    roster_->setSendersAuthenticated(channel_.isPrivate());
    HH_LOG_INFO(logcat::ptt, "switched to " << (channel_.isPrivate() ? "a private channel" : "the open channel"));
    // Those talking and present on the old channel are not on this one.
    roster_->endTalkers();
    peerEncodings_ = PeerEncodings{};
    if (isWrongPassphrase_) {
        isWrongPassphrase_ = false;
        notify(Property::isWrongPassphrase);
    }
    if (isRunning_) {
        roster_->stop();
        roster_->start();
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
    // The same health again is the platform saying its devices changed: told
    // on, so that what shows the microphone looks again.
    const bool isSame = error == audioError_;
    audioError_ = std::move(error);
    notify(Property::audioError);
    if (isSame) return;
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
    if (!channel_.isPrivate()) {
        std::vector<std::string> listed;
        for (const auto& peer : peers)
            if (canonicalName(peer.name) != canonicalName(displayName_)) listed.push_back(canonicalName(peer.name));
        peerEncodings_.setListed(std::move(listed));
    }
    roster_->setDnsSdPeers(std::move(peers));  // publishes through onPeersChanged
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
    beginPress({});
}

std::optional<PTTController::Refusal> PTTController::beginTalkingTo(std::string_view name) {
    return beginDirect(roster_->find(name), Refusal::unknownPeer);
}

std::optional<PTTController::Refusal> PTTController::beginReply() {
    return beginDirect(roster_->replyTarget(), Refusal::nobodyToReply);
}

std::optional<PTTController::Refusal> PTTController::beginDirect(const std::optional<Peer>& peer, Refusal ifNone) {
    if (!isRunning_ || isTransmitting_) return std::nullopt;
    std::optional<Refusal> refusal;
    if (!peer)
        refusal = ifNone;
    else if (peer->address.empty() || peer->reach != Peer::Reach::heard)
        refusal = Refusal::notReachable;
    if (refusal) {
        // Never into the group instead: the press is refused as it is.
        HH_LOG_INFO(logcat::ptt, "a direct press refused: " << (peer ? peer->name + " cannot be reached" : std::string("nobody to talk to")));
        cue(Cue::failed);
        return refusal;
    }
    beginPress(peer->address);
    return std::nullopt;
}

void PTTController::beginPress(std::string destination) {
    auto obstacle = pressObstacle();
    if (!obstacle) {
        {
            std::unique_lock lock(destinationMutex_);
            if (isTalkEndPending_ && destination != destination_) {
                // A press during the tail to someone else: the spurt in its
                // tail ends first, where it went.
                lock.unlock();
                sendTalkEnd();
                lock.lock();
            }
            destination_ = std::move(destination);
        }
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
    // Decided for the whole spurt here, never in the middle of one.
    const auto encoding = nextSpurtEncoding();
    if (encoding != spurtEncoding_.load())
        HH_LOG_INFO(logcat::ptt, "spurts are sent as " << toString(encoding) << " from now on");
    spurtEncoding_.store(encoding);
    frameIndex_.store(0);
    send(PacketType::talkStart, 0, Bytes(displayName_.begin(), displayName_.end()));
    isSendingAudio_.store(true);
    cue(Cue::onAir);
}

PeerEncodings::Verdict PTTController::peerEncodings() const { return peerEncodings_.judge(main_->now()); }

AudioEncoding PTTController::nextSpurtEncoding() const {
    if (!isDecodingOpus_) return AudioEncoding::pcm;
    return spurtEncoding(codecChoice_, peerEncodings());
}

// On the capture thread.
void PTTController::sendAudioFrame(const Bytes& frame) {
    if (!isSendingAudio_.load()) return;  // before the talk start, or after the talk end
    const auto index = frameIndex_.fetch_add(1);
    if (spurtEncoding_.load() == AudioEncoding::opus) {
        if (index == 0) encoder_.reset();  // a new spurt
        auto packet = encoder_.encode(frame);
        if (!packet.empty()) return send(PacketType::opus, index, std::move(packet));
    }
    send(PacketType::audio, index, frame);
}

// Any thread: the counters are atomic, the rest is fixed at construction.
void PTTController::send(PacketType type, std::uint32_t frameIndex, Bytes payload) {
    WalkiePacket packet;
    packet.type = type;
    packet.senderID = senderID_;
    packet.sequence = sequence_.fetch_add(1);
    packet.frameIndex = frameIndex;
    packet.payload = std::move(payload);
    std::string destination;
    if (type != PacketType::hello) {
        std::lock_guard lock(destinationMutex_);
        destination = destination_;
    }
    transport_->send(packet, std::move(destination));
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
    roster_->stop();
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
        if ((which == Cue::incoming || which == Cue::incomingDirect) && (self->isMuted_ || self->isTransmitting_)) return;
        self->audio_->playCue(which);
        if (self->onCue) self->onCue(which);
    });
}

// The roster: beacons, path health, peers and talkers.

bool PTTController::isInboundBlocked() const { return roster_->isInboundBlocked(); }

void PTTController::startRoster() {
    std::weak_ptr<PTTController> weak = weak_from_this();
    roster_->onBeacon = [weak] {
        if (auto self = weak.lock()) self->sendBeacon();
    };
    roster_->onPeersChanged = [weak] {
        if (auto self = weak.lock()) self->notify(Property::peers);
    };
    roster_->onInboundBlockedChanged = [weak] {
        if (auto self = weak.lock()) self->notify(Property::isInboundBlocked);
    };
    roster_->onTalkersChanged = [weak] {
        if (auto self = weak.lock()) self->publishTalkers();
    };
    roster_->onTalkerTimedOut = [weak](const Uuid& id) {
        auto self = weak.lock();
        if (!self) return;
        self->audio_->endSpurt(id, std::nullopt);
        self->recent_.endSpurt(id);
    };
    roster_->start();
}

void PTTController::sendBeacon() {
    // The current name: it may have changed since the last beacon.
    send(PacketType::hello, 0, Bytes(displayName_.begin(), displayName_.end()));
    sendEncodings();
}

void PTTController::sendEncodings() {
    if (!isDecodingOpus_) return;  // as an older build: nothing to announce
    send(PacketType::encodings, 0, EncodingAnnouncement{true, displayName_}.encode());
}

void PTTController::answerEncodings() {
    if (!isDecodingOpus_ || isEncodingAnswerPending_) return;
    isEncodingAnswerPending_ = true;
    const auto now = main_->now();
    auto delay = std::chrono::duration_cast<Executor::Duration>(std::chrono::milliseconds(random_() % 100));
    const auto gap = seconds(answerIntervalSeconds);
    if (lastEncodingAnswer_ && *lastEncodingAnswer_ + gap > now) delay += *lastEncodingAnswer_ + gap - now;
    main_->postAfter(delay, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->isEncodingAnswerPending_ = false;
        if (!self->isRunning_) return;
        self->lastEncodingAnswer_ = self->main_->now();
        self->sendEncodings();
    });
}

void PTTController::refreshTransport() {
    if (isRunning_) transport_->restart();
}

// Receive path.

void PTTController::handlePacket(const WalkiePacket& packet, const DatagramOrigin& origin) {
    // Standing in for an older build, which drops the newer types unread.
    if (!isDecodingOpus_ && (packet.type == PacketType::opus || packet.type == PacketType::encodings)) return;
    const bool wasQuiet = roster_->talkers().empty();
    roster_->packetReceived(packet, origin);  // our own too: they prove the inbound path
    if (packet.senderID == senderID_) return;  // our own, looped back by the group
    if (onPacketHeard) onPacketHeard(packet, origin);
    const bool isNamed = packet.type == PacketType::hello || packet.type == PacketType::talkStart;
    if (packet.type != PacketType::encodings) {
        std::optional<std::string> name;
        const std::string_view text(reinterpret_cast<const char*>(packet.payload.data()), packet.payload.size());
        if (isNamed && isValidUtf8(text)) name = std::string(text);
        peerEncodings_.heard(packet.senderID, main_->now(), std::move(name));
    }
    // The history follows the talkers the roster follows, and no others.
    const auto& talkers = roster_->talkers();
    if (packet.type == PacketType::talkEnd ||
        std::any_of(talkers.begin(), talkers.end(), [&](const Roster::Talker& t) { return t.id == packet.senderID; }))
        recent_.packetReceived(packet, origin.isDirect, roster_->nameOf(packet.senderID), isMuted_);
    switch (packet.type) {
    case PacketType::audio:
        if (!isMuted_ && !isTransmitting_) audio_->enqueue(packet.senderID, packet.frameIndex, packet.payload);
        break;
    case PacketType::opus: handleOpus(packet, origin); break;
    case PacketType::talkStart:
        decoders_.beginSpurt(packet.senderID);
        audio_->beginSpurt(packet.senderID);
        break;
    case PacketType::hello: break;
    case PacketType::talkEnd:
        decoders_.endSpurt(packet.senderID);
        audio_->endSpurt(packet.senderID, packet.frameIndex);
        break;
    case PacketType::encodings: handleEncodings(packet); break;
    }
    // Someone starts into silence; not every talker who joins a conversation.
    if (wasQuiet && !roster_->talkers().empty()) cue(roster_->talkers().front().isToUs ? Cue::incomingDirect : Cue::incoming);
    if (origin.isDirect) updateReplyName();
}

void PTTController::handleOpus(const WalkiePacket& packet, const DatagramOrigin& origin) {
    // Whoever sends compressed speech decodes it too.
    peerEncodings_.announced(packet.senderID, true, main_->now());
    // Played from the packet itself, decoded at its turn in the playout queue
    // so that a reordered frame is not lost; the history keeps it as it came.
    if (!isMuted_ && !isTransmitting_) audio_->enqueueCompressed(packet.senderID, packet.frameIndex, packet.payload);
    // Decoded on arrival only for a listener that wants the samples now (a
    // recorder); the decoder follows the whole spurt, muted or transmitting.
    if (!isDecodingHeardAudio_ || !onPacketHeard) return;
    for (auto& frame : decoders_.decode(packet.senderID, packet.frameIndex, packet.payload)) {
        WalkiePacket decoded = packet;
        decoded.type = PacketType::audio;
        decoded.frameIndex = frame.frameIndex;
        decoded.payload = std::move(frame.pcm16le);
        onPacketHeard(decoded, origin);
    }
}

void PTTController::handleEncodings(const WalkiePacket& packet) {
    const auto announcement = EncodingAnnouncement::decode(packet.payload);
    if (!announcement) return;
    std::optional<std::string> name;
    if (isValidUtf8(announcement->name)) name = announcement->name;
    if (peerEncodings_.announced(packet.senderID, announcement->decodesOpus, main_->now(), std::move(name)))
        answerEncodings();
}

bool PTTController::playMessage(std::uint64_t id) {
    const auto* message = recent_.find(id);
    if (!message) return false;
    if (playback_) audio_->endSpurt(playback_->talker, std::nullopt);  // what was fed plays out
    if (message->frames.empty()) return true;
    Playback playback{Uuid::random(), {}, 0, main_->now()};
    playback.frames.reserve(message->frames.size());
    const auto first = message->frames.begin()->first;
    for (const auto& [index, frame] : message->frames) playback.frames.emplace_back(index - first, frame);
    audio_->beginSpurt(playback.talker);
    playback_ = std::move(playback);
    feedPlayback();
    return true;
}

void PTTController::feedPlayback() {
    if (!playback_) return;
    // Each frame when it is due, as a talker's would arrive: the mixer learns
    // its delay from arrivals, and frames sent ahead would be played faster.
    // Compressed ones are decoded at their turn there, a missing one concealed.
    const auto frame = seconds(double(WalkieConfig::frameSampleCount) / WalkieConfig::sampleRate);
    const auto due = std::uint32_t((main_->now() - playback_->start) / frame) + 1;
    auto& frames = playback_->frames;
    for (; playback_->next < frames.size() && frames[playback_->next].first < due; ++playback_->next) {
        const auto& [index, kept] = frames[playback_->next];
        if (kept.isCompressed) audio_->enqueueCompressed(playback_->talker, index, kept.payload);
        else audio_->enqueue(playback_->talker, index, kept.payload);
    }
    if (playback_->next < frames.size()) {
        playbackFeed_.runAt(playback_->start + frame * std::int64_t(frames[playback_->next].first));
        return;
    }
    audio_->endSpurt(playback_->talker, frames.back().first + 1);
    playback_.reset();
}

void PTTController::updateReplyName() {
    const auto target = roster_->replyTarget();
    // Checked again when the window closes: set once per window, not per packet
    // (each setting posts a task), and set on from there while it goes on.
    if (target && !replyExpiry_.isPending()) replyExpiry_.runAt(roster_->replyUntil() + std::chrono::milliseconds(1));
    auto name = target ? std::optional(target->name) : std::nullopt;
    if (name == replyName_) return;
    replyName_ = std::move(name);
    notify(Property::replyName);
}

void PTTController::publishTalkers() {
    std::vector<std::string> names;
    names.reserve(roster_->talkers().size());
    for (const auto& talker : roster_->talkers()) names.push_back(talker.name);
    std::optional<std::string> latest;
    if (!names.empty()) latest = names.back();
    if (names != talkingPeerNames_) {
        talkingPeerNames_ = std::move(names);
        notify(Property::talkingPeerNames);
    }
    if (latest != talkingPeerName_) setTalkingPeerName(std::move(latest));
}

} // namespace hh
