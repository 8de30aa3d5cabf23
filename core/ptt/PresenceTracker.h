#pragma once

#include "core/exec/Executor.h"
#include "core/net/Peer.h"
#include "core/wire/Uuid.h"
#include "core/wire/WalkiePacket.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace hh {

// How often beacons go out and how long a silence takes to be judged.
struct PresenceTiming {
    double beaconInterval = 5.0;
    // Each interval is drawn from beaconInterval ± beaconJitter, so machines
    // started together do not send in step. A newcomer's first beacon is
    // answered within beaconJitter.
    double beaconJitter = 0.5;
    // Three beacons missed in a row: a lost packet or two is not enough.
    double notHeardAfter = 15.0;
    double notRespondingAfter = 30.0;
    double checkInterval = 1.0;
};

// Presence over the multicast group itself, beside DNS-SD: sends our beacons
// (hello packets) and judges, from what arrives, whether each listed peer can be
// heard here and whether our own packets still loop back to us. DNS-SD and the
// audio path fail separately (a firewall that drops UDP 54321 but lets mDNS
// through), so a listed peer is not necessarily an audible one.
// Everything runs on the one (main) executor it is given.
class PresenceTracker : public std::enable_shared_from_this<PresenceTracker> {
public:
    using Timing = PresenceTiming;
    // Senders remembered; anyone may send, with ever new IDs.
    static constexpr std::size_t maximumSenders = 256;

    // `random01` returns numbers in [0, 1) for the jitter; empty: a seeded engine.
    PresenceTracker(std::shared_ptr<Executor> executor, Uuid ownID, Timing timing = {},
                    std::function<double()> random01 = {});

    // Assign before start(). onBeacon sends one hello with the current name.
    std::function<void()> onBeacon;
    std::function<void()> onPeersChanged;
    std::function<void()> onInboundBlockedChanged;

    void start();
    // Stops beacons and checks; every judgement is dropped.
    void stop();

    // The group became usable (at start and after every rebuild): a beacon now
    // and then on schedule. Off air nothing is judged.
    void setOnAir(bool isOnAir);
    // Every packet the group delivers, our own looped-back ones included.
    void packetReceived(const WalkiePacket& packet);
    // The DNS-SD list, without ourselves. Always reported through onPeersChanged.
    void setDnsSdPeers(std::vector<Peer> peers);
    void setDnsSdAvailable(bool isAvailable);

    // The DNS-SD list with each peer's reach, or without a DNS-SD daemon the
    // senders whose beacons arrive, by name.
    const std::vector<Peer>& peers() const { return peers_; }
    // Our own packets no longer come back to us while on air: something on this
    // computer drops incoming multicast.
    bool isInboundBlocked() const { return isInboundBlocked_; }

private:
    struct Sender {
        std::string name;       // as announced
        std::string canonical;  // compared form
        Executor::TimePoint lastHeard;
    };

    void scheduleBeacon(std::uint64_t generation);
    void scheduleCheck(std::uint64_t generation);
    void sendBeacon();
    void answerNewcomer();
    // Recomputes the judgements and reports what changed.
    void evaluate(bool alwaysReportPeers = false);
    void rememberSender(const Uuid& id, const Bytes& namePayload, bool hasName);
    Executor::Duration randomInterval();
    std::vector<Peer> judgedDnsSdPeers(Executor::TimePoint now) const;
    std::vector<Peer> beaconPeers(Executor::TimePoint now) const;

    std::shared_ptr<Executor> executor_;
    Uuid ownID_;
    Timing timing_;
    std::function<double()> random01_;

    bool isRunning_ = false;
    bool isOnAir_ = false;
    bool isDnsSdAvailable_ = true;
    // Bumped whenever the beacon schedule restarts; older chains end.
    std::uint64_t beaconGeneration_ = 0;
    std::uint64_t checkGeneration_ = 0;
    Executor::TimePoint onAirSince_{};
    Executor::TimePoint ownLastHeard_{};
    bool isAnswerPending_ = false;
    bool hasAnswered_ = false;
    Executor::TimePoint lastAnswer_{};

    struct Listed {
        Peer peer;
        std::string canonical;
        Executor::TimePoint listedSince;
    };
    std::vector<Listed> dnsSdPeers_;
    std::unordered_map<Uuid, Sender, UuidHash> senders_;

    std::vector<Peer> peers_;
    bool isInboundBlocked_ = false;
};

// The form names are compared in: Unicode NFC, so "é" typed precomposed or as
// e + combining accent is the same name. Letter case counts.
std::string canonicalName(std::string_view name);
// Whether the DNS-SD instance `serviceName` belongs to the sender announcing
// `senderName` (both canonical): the same, or DNS-SD's rename of it ("Kitchen #2").
bool isServiceOfSender(std::string_view serviceName, std::string_view senderName);

} // namespace hh
