#include "core/ptt/PresenceTracker.h"

#include "core/log/Log.h"
#include "core/wire/Utf8.h"

#include <algorithm>
#include <random>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace hh {

std::string canonicalName(std::string_view name) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return std::string(name);
    const auto normalized = nfc->normalize(icu::UnicodeString::fromUTF8(icu::StringPiece(name.data(), int32_t(name.size()))), status);
    if (U_FAILURE(status)) return std::string(name);
    std::string out;
    normalized.toUTF8String(out);
    return out;
}

bool isServiceOfSender(std::string_view serviceName, std::string_view senderName) {
    if (serviceName == senderName) return true;
    // Avahi settles a clash by appending " #N" to the instance name.
    if (serviceName.size() < senderName.size() + 3 || !serviceName.starts_with(senderName)) return false;
    const auto suffix = serviceName.substr(senderName.size());
    if (!suffix.starts_with(" #")) return false;
    const auto digits = suffix.substr(2);
    return !digits.empty() && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

PresenceTracker::PresenceTracker(std::shared_ptr<Executor> executor, Uuid ownID, Timing timing,
                                 std::function<double()> random01)
    : executor_(std::move(executor)), ownID_(ownID), timing_(timing), random01_(std::move(random01)) {
    if (!random01_) {
        auto engine = std::make_shared<std::mt19937_64>(std::random_device{}());
        random01_ = [engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(*engine); };
    }
}

void PresenceTracker::start() {
    if (isRunning_) return;
    isRunning_ = true;
    scheduleCheck(++checkGeneration_);
}

void PresenceTracker::stop() {
    if (!isRunning_) return;
    isRunning_ = false;
    isOnAir_ = false;
    ++beaconGeneration_;
    ++checkGeneration_;
    evaluate();
}

void PresenceTracker::setOnAir(bool isOnAir) {
    if (!isRunning_) return;
    if (isOnAir) {
        // Every (re)built group starts its own grace period: nothing could
        // arrive while it was down.
        onAirSince_ = executor_->now();
        isOnAir_ = true;
        sendBeacon();
        scheduleBeacon(++beaconGeneration_);
    } else {
        isOnAir_ = false;
        ++beaconGeneration_;
    }
    evaluate();
}

Executor::Duration PresenceTracker::randomInterval() {
    const double r = std::clamp(random01_(), 0.0, 1.0);
    return seconds(timing_.beaconInterval + (2.0 * r - 1.0) * timing_.beaconJitter);
}

void PresenceTracker::scheduleBeacon(std::uint64_t generation) {
    executor_->postAfter(randomInterval(), [weak = weak_from_this(), generation] {
        auto self = weak.lock();
        if (!self || generation != self->beaconGeneration_ || !self->isOnAir_) return;
        self->sendBeacon();
        self->scheduleBeacon(generation);
    });
}

void PresenceTracker::scheduleCheck(std::uint64_t generation) {
    executor_->postAfter(seconds(timing_.checkInterval), [weak = weak_from_this(), generation] {
        auto self = weak.lock();
        if (!self || generation != self->checkGeneration_) return;
        self->evaluate();
        self->scheduleCheck(generation);
    });
}

void PresenceTracker::sendBeacon() {
    if (onBeacon) onBeacon();
}

void PresenceTracker::packetReceived(const WalkiePacket& packet) {
    if (!isRunning_) return;
    // Only noted here; judged at the next check, so a flood costs no more than
    // a table update per packet.
    if (packet.senderID == ownID_) {
        ownLastHeard_ = executor_->now();
        return;
    }
    rememberSender(packet.senderID, packet.payload,
                   packet.type == PacketType::hello || packet.type == PacketType::talkStart);
}

void PresenceTracker::rememberSender(const Uuid& id, const Bytes& payload, bool hasName) {
    const auto now = executor_->now();
    auto found = senders_.find(id);
    std::string_view text;
    if (hasName) {
        text = std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size());
        if (text.empty() || !isValidUtf8(text)) text = {};
    }
    if (found != senders_.end()) {
        found->second.lastHeard = now;
        if (!text.empty() && text != found->second.name) {
            found->second.name = std::string(text);
            found->second.canonical = canonicalName(text);
        }
        return;
    }
    // Only senders that said who they are: an unnamed sender matches no peer.
    if (text.empty()) return;
    if (senders_.size() >= maximumSenders) {
        auto oldest = std::min_element(senders_.begin(), senders_.end(), [](const auto& a, const auto& b) {
            return a.second.lastHeard < b.second.lastHeard;
        });
        senders_.erase(oldest);
    }
    senders_.emplace(id, Sender{std::string(text), canonicalName(text), now});
    answerNewcomer();
}

void PresenceTracker::answerNewcomer() {
    // A newcomer would otherwise wait up to a whole interval for our next
    // beacon. Answered once, a little later and at random, so that everyone
    // does not answer at the same instant; at most once per interval, so that
    // a flood of new IDs draws no flood of beacons.
    const auto now = executor_->now();
    if (!isOnAir_ || isAnswerPending_ || (hasAnswered_ && now - lastAnswer_ < seconds(timing_.beaconInterval)))
        return;
    isAnswerPending_ = true;
    const auto delay = seconds(std::clamp(random01_(), 0.0, 1.0) * timing_.beaconJitter);
    executor_->postAfter(delay, [weak = weak_from_this(), generation = beaconGeneration_] {
        auto self = weak.lock();
        if (!self) return;
        self->isAnswerPending_ = false;
        if (generation != self->beaconGeneration_ || !self->isOnAir_) return;
        self->hasAnswered_ = true;
        self->lastAnswer_ = self->executor_->now();
        self->sendBeacon();
    });
}

void PresenceTracker::setDnsSdPeers(std::vector<Peer> peers) {
    const auto now = executor_->now();
    std::vector<Listed> listed;
    listed.reserve(peers.size());
    for (auto& peer : peers) {
        auto before = std::find_if(dnsSdPeers_.begin(), dnsSdPeers_.end(),
                                   [&](const Listed& l) { return l.peer.id == peer.id; });
        // A newly listed peer gets the same grace as a group just built.
        const auto since = before != dnsSdPeers_.end() ? before->listedSince : now;
        std::string canonical = canonicalName(peer.name);
        listed.push_back(Listed{std::move(peer), std::move(canonical), since});
    }
    dnsSdPeers_ = std::move(listed);
    evaluate(true);
}

void PresenceTracker::setDnsSdAvailable(bool isAvailable) {
    if (isAvailable == isDnsSdAvailable_) return;
    isDnsSdAvailable_ = isAvailable;
    HH_LOG_INFO(logcat::ptt, (isAvailable ? "DNS-SD answers: the peer list is its own"
                                          : "no DNS-SD daemon answers: peers are listed from their beacons"));
    evaluate();
}

std::vector<Peer> PresenceTracker::judgedDnsSdPeers(Executor::TimePoint now) const {
    std::vector<Peer> out;
    out.reserve(dnsSdPeers_.size());
    for (const auto& listed : dnsSdPeers_) {
        Peer peer = listed.peer;
        peer.reach = Peer::Reach::heard;
        peer.isBeaconOnly = false;
        if (isOnAir_) {
            auto reference = std::max(onAirSince_, listed.listedSince);
            for (const auto& [id, sender] : senders_)
                if (sender.lastHeard > reference && isServiceOfSender(listed.canonical, sender.canonical))
                    reference = sender.lastHeard;
            const auto silence = now - reference;
            // While our own inbound path is blocked nobody can be heard, so
            // silence says nothing about whether a peer is still there.
            if (silence > seconds(timing_.notRespondingAfter) && !isInboundBlocked_)
                peer.reach = Peer::Reach::notResponding;
            else if (silence > seconds(timing_.notHeardAfter))
                peer.reach = Peer::Reach::notHeard;
        }
        out.push_back(std::move(peer));
    }
    return out;
}

std::vector<Peer> PresenceTracker::beaconPeers(Executor::TimePoint now) const {
    // One row per name, from its most recently heard sender: a program that
    // restarted comes back under a new ID.
    std::unordered_map<std::string, const Sender*> byName;
    for (const auto& [id, sender] : senders_) {
        if (now - sender.lastHeard > seconds(timing_.notRespondingAfter)) continue;  // gone
        auto& slot = byName[sender.canonical];
        if (!slot || slot->lastHeard < sender.lastHeard) slot = &sender;
    }
    std::vector<Peer> out;
    out.reserve(byName.size());
    for (const auto& [canonical, sender] : byName) {
        Peer peer{sender->name, sender->name};
        peer.isBeaconOnly = true;
        const auto silence = now - std::max(sender->lastHeard, onAirSince_);
        if (isOnAir_ && silence > seconds(timing_.notHeardAfter)) peer.reach = Peer::Reach::notHeard;
        out.push_back(std::move(peer));
    }
    std::sort(out.begin(), out.end(), [](const Peer& a, const Peer& b) { return a.name < b.name; });
    return out;
}

void PresenceTracker::evaluate(bool alwaysReportPeers) {
    const auto now = executor_->now();
    const bool blocked = isOnAir_ && now - std::max(ownLastHeard_, onAirSince_) > seconds(timing_.notHeardAfter);
    const bool blockedChanged = blocked != isInboundBlocked_;
    if (blockedChanged) {
        isInboundBlocked_ = blocked;
        if (blocked)
            HH_LOG_WARNING(logcat::ptt, "our own packets no longer come back: incoming multicast is blocked here");
        else
            HH_LOG_INFO(logcat::ptt, "our own packets come back again");
    }

    auto peers = isRunning_ && !isDnsSdAvailable_ ? beaconPeers(now) : judgedDnsSdPeers(now);
    const bool peersChanged = peers != peers_;
    if (peersChanged) peers_ = std::move(peers);

    if (blockedChanged && onInboundBlockedChanged) onInboundBlockedChanged();
    if ((peersChanged || alwaysReportPeers) && onPeersChanged) onPeersChanged();
}

} // namespace hh
