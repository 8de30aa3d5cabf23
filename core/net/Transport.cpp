#include "core/net/Transport.h"

#include <algorithm>
#include <sstream>

namespace hh {

namespace {
// Packet-level detail for the debug log.
std::string describe(const WalkiePacket& packet) {
    std::ostringstream text;
    text << toString(packet.type) << " from " << packet.senderID.toString() << " seq " << packet.sequence << " frame "
         << packet.frameIndex << ", " << packet.payload.size() << " bytes";
    return text.str();
}
std::string describe(const Bytes& bytes) {
    auto packet = WalkiePacket::decode(bytes);
    return packet ? describe(*packet) : std::to_string(bytes.size()) + " bytes";
}
// Read in place: the payload is not copied for a datagram that is dropped.
bool isAudioFrom(std::span<const std::uint8_t> content, const Uuid& sender) {
    if (content.size() < WalkiePacket::headerSize || content[0] != WalkieConfig::protocolVersion) return false;
    const auto type = content[1];
    return (type == std::uint8_t(PacketType::audio) || type == std::uint8_t(PacketType::opus)) &&
           std::equal(sender.bytes.begin(), sender.bytes.end(), content.begin() + 2);
}
} // namespace

Transport::Transport(std::shared_ptr<NetworkPlatform> platform)
    : queue_(platform->queue()), platform_(std::move(platform)) {}

// Platform objects are released without cancelling; their handlers hold only
// weak references, so nothing reaches a transport that is gone.
Transport::~Transport() = default;

void Transport::start() {
    queue_->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self || self->isRunning_) return;
        self->isRunning_ = true;
        self->startGroup();
        self->startPathMonitor();
    });
}

void Transport::restart() {
    queue_->post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->rebuildGroup();
    });
}

void Transport::stop() {
    queue_->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->isRunning_ = false;
        if (self->pathMonitor_) {
            self->pathMonitor_->cancel();
            self->pathMonitor_.reset();
        }
        if (self->group_) {
            // The state handler stays installed so the owner hears "cancelled".
            self->group_->cancel();
            self->group_.reset();
        }
    });
}

void Transport::setChannel(Channel channel) {
    queue_->post([weak = weak_from_this(), channel = std::move(channel)]() mutable {
        auto self = weak.lock();
        if (!self || channel == self->channel_) return;
        self->channel_ = std::move(channel);
        if (auto key = self->channel_.key()) {
            self->sealer_ = std::make_unique<PacketSealer>(key);
            self->opener_ = std::make_unique<PacketOpener>(key);
        } else {
            self->sealer_.reset();
            self->opener_.reset();
        }
        self->setWrongPassphrase(false);
        HH_LOG_INFO(logcat::net, "now on " << (self->channel_.isPrivate() ? "a private channel" : "the open channel"));
        self->rebuildGroup();
    });
}

void Transport::send(const WalkiePacket& packet, std::string destination) {
    auto bytes = std::make_shared<Bytes>(packet.encode());
    queue_->post([weak = weak_from_this(), bytes, destination = std::move(destination)] {
        auto self = weak.lock();
        if (!self || !self->group_) {
            HH_LOG_DEBUG(logcat::net, "no group: lost a packet of " << bytes->size() << " bytes");
            return;
        }
        HH_LOG_DEBUG(logcat::net, "send " << describe(*bytes) << (destination.empty() ? "" : " to ") << destination);
        // Sealed here, on the queue: whatever was sent before a channel switch
        // went out before it, and nothing after it reaches the old channel.
        if (self->sealer_)
            self->group_->send(self->sealer_->seal(*bytes), destination);
        else
            self->group_->send(std::move(*bytes), destination);
    });
}

void Transport::startGroup() {
    if (group_) return;
    std::unique_ptr<MulticastGroup> group;
    try {
        group = platform_->makeMulticastGroup(channel_.multicastHost(), WalkieConfig::multicastPort);
    } catch (const std::exception& e) {
        groupFailure_.failed(std::string("setup: ") + e.what());
        if (onState) onState(State::failed(std::string("multicast setup: ") + e.what()));
        scheduleRestart();
        return;
    }
    std::weak_ptr<Transport> weak = weak_from_this();
    group->setReceiveHandler(maximumDatagramSize, [weak](std::span<const std::uint8_t> content, const DatagramOrigin& origin) {
        if (auto self = weak.lock()) self->handleDatagram(content, origin);
    });
    group->setStateUpdateHandler([weak](const GroupState& state) {
        if (auto self = weak.lock()) self->handleGroupState(state);
    });
    if (ignoredAudioSender) group->ignoreAudioFrom(*ignoredAudioSender);
    group->start();
    group_ = std::move(group);
}

// A forged or foreign datagram costs a comparison or an authentication check
// here: no allocation and no log line.
void Transport::handleDatagram(std::span<const std::uint8_t> content, const DatagramOrigin& origin) {
    if (!opener_) return deliver(content, origin);
    const auto result = opener_->open(content);
    switch (result.verdict) {
    case PacketOpener::Verdict::opened: return deliver(result.datagram, origin);
    case PacketOpener::Verdict::wrongPassphrase: return noteWrongPassphrase();
    default: return;
    }
}

void Transport::deliver(std::span<const std::uint8_t> content, const DatagramOrigin& origin) {
    if (ignoredAudioSender && isAudioFrom(content, *ignoredAudioSender)) return;
    auto packet = WalkiePacket::decode(content);
    if (!packet) {
        HH_LOG_DEBUG(logcat::net, "dropped a datagram of " << content.size() << " bytes that is not ours");
        return;
    }
    HH_LOG_DEBUG(logcat::net, "received " << describe(*packet) << (origin.isDirect ? " directly from " : " from ")
                                         << origin.sourceAddress);
    if (onPacket) onPacket(*packet, origin);
}

void Transport::noteWrongPassphrase() {
    lastWrongPassphrase_ = queue_->now();
    if (isWrongPassphrase_) return;
    setWrongPassphrase(true);
    scheduleWrongPassphraseCheck(seconds(wrongPassphraseQuietSeconds));
}

void Transport::scheduleWrongPassphraseCheck(Executor::Duration delay) {
    postOnce(isWrongPassphraseCheckPending_, delay, &Transport::checkWrongPassphrase);
}

void Transport::checkWrongPassphrase() {
    if (!isWrongPassphrase_) return;
    const auto due = lastWrongPassphrase_ + seconds(wrongPassphraseQuietSeconds);
    if (queue_->now() >= due) return setWrongPassphrase(false);
    scheduleWrongPassphraseCheck(due - queue_->now());
}

// At most one run of each kind is due at a time, whatever the state did
// meanwhile. Held weakly, as the transport may go on another thread than its
// queue's (which is why a OneShotTimer, made in the constructor, does not fit).
void Transport::postOnce(bool& isPending, Executor::Duration delay, void (Transport::*task)()) {
    if (isPending) return;
    isPending = true;
    queue_->postAfter(delay, [weak = weak_from_this(), &isPending, task] {
        auto self = weak.lock();
        if (!self) return;
        isPending = false;  // a member of *self, alive while self is held
        ((*self).*task)();
    });
}

void Transport::setWrongPassphrase(bool value) {
    if (value == isWrongPassphrase_) return;
    isWrongPassphrase_ = value;
    if (value)
        HH_LOG_WARNING(logcat::net, "someone nearby is using this channel with a different passphrase");
    else
        HH_LOG_INFO(logcat::net, "no more packets with a different passphrase on this channel");
    if (onWrongPassphrase) onWrongPassphrase(value);
}

void Transport::handleGroupState(const GroupState& state) {
    switch (state.kind) {
    case GroupState::Kind::waiting:
    case GroupState::Kind::failed: groupFailure_.failed(state.error); break;
    case GroupState::Kind::ready: groupFailure_.succeeded(); break;
    default: break;
    }
    if (onState) {
        switch (state.kind) {
        case GroupState::Kind::setup: onState(State::setup()); break;
        case GroupState::Kind::waiting:
        case GroupState::Kind::failed: onState(State::failed(state.error, state.isRefused, state.isNoNetwork)); break;
        case GroupState::Kind::ready: onState(State::ready()); break;
        case GroupState::Kind::cancelled: onState(State::cancelled()); break;
        }
    }
    if (state.kind == GroupState::Kind::waiting || state.kind == GroupState::Kind::failed) scheduleRestart();
}

void Transport::scheduleRestart() {
    if (isRunning_) postOnce(isRestartPending_, seconds(rebuildDelaySeconds), &Transport::rebuildGroup);
}

void Transport::rebuildGroup() {
    if (!isRunning_) return;
    if (group_) {
        // Detach first: the owner is not told about a cancellation it did not ask for.
        group_->setStateUpdateHandler(nullptr);
        group_->cancel();
        group_.reset();
    }
    startGroup();
}

void Transport::startPathMonitor() {
    auto monitor = platform_->makePathMonitor();
    monitor->setPathUpdateHandler([weak = weak_from_this()](const NetworkPath& path) {
        if (auto self = weak.lock()) self->handlePathUpdate(path);
    });
    monitor->start();
    if (pathMonitor_) pathMonitor_->cancel();
    pathMonitor_ = std::move(monitor);
}

void Transport::handlePathUpdate(const NetworkPath& path) {
    std::string signature;
    if (path.isSatisfied) {
        auto names = path.availableInterfaces;
        std::sort(names.begin(), names.end());
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i) signature += ',';
            signature += names[i];
        }
    } else {
        signature = "down";
    }
    if (!pathSignature_) {
        // The first report since construction describes the network we started on.
        pathSignature_ = std::move(signature);
        return;
    }
    if (signature == *pathSignature_) return;
    pathSignature_ = std::move(signature);
    // A group joined on an interface that went away would look ready and hear
    // nothing: every change rebuilds, and with no interface left the new group
    // says there is no network.
    HH_LOG_INFO(logcat::net, "network interfaces now: " << *pathSignature_);
    rebuildGroup();
}

const char* toString(Transport::State::Kind kind) {
    switch (kind) {
    case Transport::State::Kind::failed: return "failed";
    case Transport::State::Kind::setup: return "setup";
    case Transport::State::Kind::ready: return "ready";
    case Transport::State::Kind::cancelled: return "cancelled";
    }
    return "setup";
}

} // namespace hh
