#include "core/ptt/Roster.h"

#include "core/log/Log.h"
#include "core/wire/Utf8.h"
#include "core/wire/WalkieConfig.h"

#include <algorithm>
#include <random>

namespace hh {

namespace {
// A talker silent for more than the time-out ends: checked just after it.
constexpr auto talkerCheckDelay = seconds(WalkieConfig::talkerTimeout) + std::chrono::milliseconds(1);
} // namespace

Roster::Roster(std::shared_ptr<Executor> executor, Uuid ownID, std::size_t maximumTalkers, Timing timing,
               std::function<double()> random01)
    : executor_(std::move(executor)), ownID_(ownID), maximumTalkers_(maximumTalkers), timing_(timing),
      random01_(std::move(random01)), talkerTimeout_(*executor_, [this] { checkTalkerTimeout(); }) {
    if (!random01_) {
        auto engine = std::make_shared<std::mt19937_64>(std::random_device{}());
        random01_ = [engine] { return std::uniform_real_distribution<double>(0.0, 1.0)(*engine); };
    }
}

void Roster::start() {
    if (isRunning_) return;
    isRunning_ = true;
    scheduleCheck(++checkGeneration_);
    if (!talkers_.empty()) checkTalkerTimeout();  // heard before a stop
}

void Roster::stop() {
    if (!isRunning_) return;
    isRunning_ = false;
    isOnAir_ = false;
    ++beaconGeneration_;
    ++checkGeneration_;
    talkerTimeout_.cancel();
    evaluate();
}

void Roster::setOnAir(bool isOnAir) {
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

void Roster::setOwnName(std::string name) {
    ownCanonical_ = canonicalName(name);
    evaluate();
}

Executor::Duration Roster::randomInterval() {
    const double r = std::clamp(random01_(), 0.0, 1.0);
    return seconds(timing_.beaconInterval + (2.0 * r - 1.0) * timing_.beaconJitter);
}

void Roster::scheduleBeacon(std::uint64_t generation) {
    executor_->postAfter(randomInterval(), [weak = weak_from_this(), generation] {
        auto self = weak.lock();
        if (!self || generation != self->beaconGeneration_ || !self->isOnAir_) return;
        self->sendBeacon();
        self->scheduleBeacon(generation);
    });
}

void Roster::scheduleCheck(std::uint64_t generation) {
    executor_->postAfter(seconds(timing_.checkInterval), [weak = weak_from_this(), generation] {
        auto self = weak.lock();
        if (!self || generation != self->checkGeneration_) return;
        self->evaluate();
        self->scheduleCheck(generation);
    });
}

void Roster::sendBeacon() {
    if (onBeacon) onBeacon();
}

void Roster::packetReceived(const WalkiePacket& packet, const DatagramOrigin& origin) {
    if (!isRunning_) return;
    // Only noted here; health is judged at the next check, so a flood costs no
    // more than a table update per packet.
    if (packet.senderID == ownID_) {
        ownLastHeard_ = executor_->now();
        return;
    }
    auto* sender = rememberSender(packet.senderID, packet, origin);
    switch (packet.type) {
    case PacketType::talkStart:
    case PacketType::audio:
    case PacketType::opus:
        if (sender) sender->hasTalked = true;
        markTalker(packet.senderID, origin.isDirect);
        break;
    case PacketType::talkEnd:
        if (origin.isDirect) {
            lastDirectFrom_ = packet.senderID;
            lastDirectAt_ = executor_->now();
        }
        endTalker(packet.senderID);
        break;
    case PacketType::hello:
    case PacketType::encodings: break;
    }
}

Roster::Sender* Roster::rememberSender(const Uuid& id, const WalkiePacket& packet, const DatagramOrigin& origin) {
    const auto now = executor_->now();
    std::string_view text;
    if (packet.type == PacketType::hello || packet.type == PacketType::talkStart) {
        text = std::string_view(reinterpret_cast<const char*>(packet.payload.data()), packet.payload.size());
        if (text.empty() || !isValidUtf8(text)) text = {};  // an earlier name stays
    }
    auto found = senders_.find(id);
    if (found == senders_.end()) {
        // Unnamed senders are kept only while they talk: they match no peer.
        const bool isTalk = packet.type == PacketType::talkStart || packet.type == PacketType::audio ||
                            packet.type == PacketType::opus;
        if (text.empty() && !isTalk) return nullptr;
        if (senders_.size() >= maximumSenders && !makeRoom()) return nullptr;
        found = senders_.emplace(id, Sender{}).first;
        found->second.firstHeard = now;
        if (!text.empty()) answerNewcomer();
    }
    auto& sender = found->second;
    sender.lastHeard = now;
    sender.isWithdrawn = false;
    // An encodings announcement rides with each beacon: it is not a second hearing.
    if (packet.type != PacketType::encodings) sender.packets = std::min<std::uint32_t>(sender.packets + 1, 2);
    if (!origin.sourceAddress.empty()) sender.address = origin.sourceAddress;
    if (!text.empty() && text != sender.name) {
        sender.name = std::string(text);
        sender.canonical = canonicalName(text);
        markListed(sender);
        // A talker's (new) name shows at once.
        if (talkingOf(id) != Peer::Talking::no) publishTalkers();
    }
    return &sender;
}

bool Roster::makeRoom() {
    // Never a talker; first whoever was heard only once and is listed nowhere
    // (a flood's ever new IDs), then the beacon-only senders, then DNS-SD's and
    // those who talked, each time the longest silent.
    const auto rank = [](const Sender& s) { return s.isDnsSdListed ? 2 : s.packets < 2 ? 0 : s.hasTalked ? 2 : 1; };
    auto victim = senders_.end();
    for (auto it = senders_.begin(); it != senders_.end(); ++it) {
        if (talkingOf(it->first) != Peer::Talking::no) continue;
        if (victim == senders_.end() || std::pair(rank(it->second), it->second.lastHeard) <
                                            std::pair(rank(victim->second), victim->second.lastHeard))
            victim = it;
    }
    if (victim == senders_.end()) return false;
    senders_.erase(victim);
    return true;
}

void Roster::answerNewcomer() {
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

void Roster::setDnsSdPeers(std::vector<Peer> peers) {
    const auto now = executor_->now();
    std::vector<Listed> listed;
    listed.reserve(peers.size());
    for (auto& peer : peers) {
        auto before = std::find_if(dnsSdPeers_.begin(), dnsSdPeers_.end(),
                                   [&](const Listed& l) { return l.peer.name == peer.name; });
        std::string canonical = canonicalName(peer.name);
        // A newly listed peer gets the same grace as a group just built.
        if (before != dnsSdPeers_.end())
            listed.push_back(Listed{std::move(peer), std::move(canonical), before->listedSince, before->lastHeard});
        else
            listed.push_back(Listed{std::move(peer), std::move(canonical), now, {}});
    }
    dnsSdPeers_ = std::move(listed);
    for (auto& [id, sender] : senders_) {
        const bool wasListed = sender.isDnsSdListed;
        markListed(sender);
        if (wasListed && !sender.isDnsSdListed) sender.isWithdrawn = true;
    }
    evaluate(true);
}

void Roster::markListed(Sender& sender) const {
    sender.isDnsSdListed = !sender.canonical.empty() && std::any_of(dnsSdPeers_.begin(), dnsSdPeers_.end(), [&](const Listed& l) {
        return isServiceOfSender(l.canonical, sender.canonical);
    });
}

void Roster::setDnsSdAvailable(bool isAvailable) {
    if (isAvailable == isDnsSdAvailable_) return;
    isDnsSdAvailable_ = isAvailable;
    HH_LOG_INFO(logcat::ptt, (isAvailable ? "DNS-SD answers: peers are listed from it and from their beacons"
                                          : "no DNS-SD daemon answers: peers are listed from their beacons"));
    if (!isAvailable) {
        dnsSdPeers_.clear();  // nothing keeps them up to date now
        for (auto& [id, sender] : senders_) markListed(sender);
    }
    evaluate();
}

void Roster::setSendersAuthenticated(bool isAuthenticated) {
    isAuthenticated_ = isAuthenticated;
    evaluate();
}

Peer::Talking Roster::talkingOf(const Uuid& id) const {
    auto found = std::find_if(talkers_.begin(), talkers_.end(), [&](const TalkerState& t) { return t.id == id; });
    if (found == talkers_.end()) return Peer::Talking::no;
    return found->isToUs ? Peer::Talking::toUs : Peer::Talking::toEveryone;
}

std::vector<Peer> Roster::rows(Executor::TimePoint now) {
    std::vector<Peer> out;
    out.reserve(dnsSdPeers_.size());
    // The senders each row stands for: DNS-SD's record takes every sender under
    // its name; the other senders make one row per name. The row's sender is the
    // longest heard of those heard lately (a program, not a one-shot `say`
    // under its name), else the last heard.
    const auto isBetter = [&](const Sender& a, const Sender& b) {
        const bool aRecent = now - a.lastHeard <= seconds(timing_.notHeardAfter);
        const bool bRecent = now - b.lastHeard <= seconds(timing_.notHeardAfter);
        if (aRecent != bRecent) return aRecent;
        return aRecent ? a.firstHeard < b.firstHeard : a.lastHeard > b.lastHeard;
    };
    using Entry = std::pair<const Uuid, Sender>;
    struct Named {
        const Entry* best = nullptr;
        Executor::TimePoint lastHeard{};
    };
    std::unordered_map<std::string, Named> byName;
    for (const auto& entry : senders_) {
        const auto& sender = entry.second;
        if (sender.canonical.empty()) continue;
        auto& slot = byName[sender.canonical];
        if (!slot.best || isBetter(sender, slot.best->second)) slot.best = &entry;
        slot.lastHeard = std::max(slot.lastHeard, sender.lastHeard);
    }
    const auto judge = [&](Peer& peer, Executor::TimePoint lastHeard, Executor::TimePoint since) {
        peer.reach = Peer::Reach::heard;
        if (!isOnAir_) return;
        const auto silence = now - std::max({lastHeard, since, onAirSince_});
        // While our own inbound path is blocked nobody can be heard, so
        // silence says nothing about whether a peer is still there.
        if (silence > seconds(timing_.notRespondingAfter) && !isInboundBlocked_)
            peer.reach = Peer::Reach::notResponding;
        else if (silence > seconds(timing_.notHeardAfter))
            peer.reach = Peer::Reach::notHeard;
    };
    for (auto& listed : dnsSdPeers_) {
        Peer peer = listed.peer;
        peer.id = peer.name;
        peer.isBeaconOnly = false;
        const Entry* best = nullptr;
        for (auto it = byName.begin(); it != byName.end();) {
            if (!isServiceOfSender(listed.canonical, it->first)) {
                ++it;
                continue;
            }
            listed.lastHeard = std::max(listed.lastHeard, it->second.lastHeard);
            if (!best || isBetter(it->second.best->second, best->second)) best = it->second.best;
            it = byName.erase(it);
        }
        if (best) {
            if (!best->second.address.empty()) peer.address = best->second.address;
            peer.talking = talkingOf(best->first);
        }
        judge(peer, listed.lastHeard, listed.listedSince);
        out.push_back(std::move(peer));
    }
    for (const auto& [canonical, named] : byName) {
        const auto& [id, sender] = *named.best;
        const bool isTalking = talkingOf(id) != Peer::Talking::no;
        // Heard twice (a real peer's beacons; a flood's new IDs are heard once),
        // or it talked; gone once silent long enough, or once its record is
        // withdrawn. Never under our own name.
        if (canonical == ownCanonical_ || sender.isWithdrawn) continue;
        if (!isTalking && (now - sender.lastHeard > seconds(timing_.notRespondingAfter) ||
                           (sender.packets < 2 && !sender.hasTalked && !isAuthenticated_)))
            continue;
        Peer peer{sender.name, sender.name};
        peer.isBeaconOnly = true;
        peer.address = sender.address;
        peer.talking = talkingOf(id);
        judge(peer, sender.lastHeard, {});
        if (peer.reach == Peer::Reach::notResponding) peer.reach = Peer::Reach::notHeard;
        out.push_back(std::move(peer));
    }
    std::sort(out.begin(), out.end(), [this](const Peer& a, const Peer& b) { return nameOrder_(a.name, b.name); });
    return out;
}

void Roster::evaluate(bool alwaysReportPeers) {
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

    auto peers = rows(now);
    const bool peersChanged = peers != peers_;
    if (peersChanged) peers_ = std::move(peers);

    if (blockedChanged && onInboundBlockedChanged) onInboundBlockedChanged();
    if ((peersChanged || alwaysReportPeers) && onPeersChanged) onPeersChanged();
}

std::string Roster::announcedName(const Uuid& sender) const {
    auto found = senders_.find(sender);
    return found != senders_.end() ? found->second.name : std::string();
}

std::string Roster::nameOf(const Uuid& sender) const {
    auto name = announcedName(sender);
    return name.empty() ? fallbackName : name;
}

std::optional<Peer> Roster::find(std::string_view name) const {
    const auto canonical = canonicalName(name);
    for (const auto& peer : peers_)
        if (canonicalName(peer.name) == canonical) return peer;
    // A sender heard once is not listed yet (a flood's are never), but one
    // named on purpose is meant: its latest, while recently heard.
    const auto now = executor_->now();
    const Sender* best = nullptr;
    for (const auto& [id, sender] : senders_)
        if (sender.canonical == canonical && now - sender.lastHeard <= seconds(timing_.notHeardAfter) &&
            (!best || best->lastHeard < sender.lastHeard))
            best = &sender;
    if (!best) return std::nullopt;
    Peer peer{best->name, best->name};
    peer.isBeaconOnly = true;
    peer.address = best->address;
    return peer;
}

std::optional<Peer> Roster::replyTarget() const {
    if (!lastDirectFrom_ || executor_->now() - lastDirectAt_ > seconds(timing_.replyWindow)) return std::nullopt;
    auto sender = senders_.find(*lastDirectFrom_);
    if (sender == senders_.end() || sender->second.address.empty()) return std::nullopt;
    Peer peer{nameOf(*lastDirectFrom_), nameOf(*lastDirectFrom_)};
    peer.address = sender->second.address;
    return peer;
}

// Talkers.

void Roster::markTalker(const Uuid& sender, bool isDirect) {
    const auto now = executor_->now();
    if (isDirect) {
        lastDirectFrom_ = sender;
        lastDirectAt_ = now;
    }
    auto found = std::find_if(talkers_.begin(), talkers_.end(), [&](const TalkerState& t) { return t.id == sender; });
    if (found != talkers_.end()) {
        found->lastActivity = now;
        if (found->isToUs == isDirect) return;
        found->isToUs = isDirect;
    } else {
        if (talkers_.size() >= maximumTalkers_) return;  // playback does not mix them either
        talkers_.push_back({sender, now, isDirect});
        // Set for the earliest talker; it moves on to the next when due.
        if (!talkerTimeout_.isPending()) talkerTimeout_.runAt(now + talkerCheckDelay);
    }
    publishTalkers();
}

void Roster::endTalker(const Uuid& sender) {
    if (std::erase_if(talkers_, [&](const TalkerState& t) { return t.id == sender; }) > 0) publishTalkers();
}

void Roster::publishTalkers() {
    std::vector<Talker> list;
    list.reserve(talkers_.size());
    for (const auto& talker : talkers_) list.push_back({talker.id, nameOf(talker.id), talker.isToUs});
    if (list == talkerList_) return;
    talkerList_ = std::move(list);
    if (onTalkersChanged) onTalkersChanged();
    evaluate();  // the rows show who talks
}

void Roster::endTalkers() {
    while (!talkers_.empty()) {
        const auto id = talkers_.front().id;
        endTalker(id);
        if (onTalkerTimedOut) onTalkerTimedOut(id);
    }
}

void Roster::checkTalkerTimeout() {
    const auto now = executor_->now();
    std::vector<Uuid> silent;
    for (const auto& talker : talkers_)
        if (now - talker.lastActivity > seconds(WalkieConfig::talkerTimeout)) silent.push_back(talker.id);
    for (const auto& id : silent) {
        endTalker(id);
        if (onTalkerTimedOut) onTalkerTimedOut(id);
    }
    if (talkers_.empty()) return;
    auto quietest = std::min_element(talkers_.begin(), talkers_.end(), [](const TalkerState& a, const TalkerState& b) {
        return a.lastActivity < b.lastActivity;
    });
    talkerTimeout_.runAt(quietest->lastActivity + talkerCheckDelay);
}

} // namespace hh
