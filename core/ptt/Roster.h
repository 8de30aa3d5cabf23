#pragma once

#include "core/exec/Executor.h"
#include "core/exec/OneShotTimer.h"
#include "core/net/NetworkPlatform.h"
#include "core/net/Peer.h"
#include "core/wire/Uuid.h"
#include "core/wire/WalkiePacket.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace hh {

// How often beacons go out and how long a silence takes to be judged.
struct RosterTiming {
    double beaconInterval = 5.0;
    // Each interval is drawn from beaconInterval ± beaconJitter, so machines
    // started together do not send in step. A newcomer's first beacon is
    // answered within beaconJitter.
    double beaconJitter = 0.5;
    // Three beacons missed in a row: a lost packet or two is not enough.
    double notHeardAfter = 15.0;
    double notRespondingAfter = 30.0;
    double checkInterval = 1.0;
    // Whoever talked to us directly can be answered this long after.
    double replyWindow = 60.0;
};

// Everything this instance knows about the others, by sender ID: the names they
// announce and DNS-SD advertises, their addresses, whether their packets reach
// us (and ours come back to us), and who is talking to whom. Fed by discovery,
// by our beacons' schedule and by every packet received; the controller, the
// panel, `peers`, `listen` and the recorder read it.
//
// Anyone may send with ever new IDs: at most `maximumSenders` are kept, and a
// newcomer only ever pushes out the least known (a sender heard once, never
// listed, never talking), so a flood of strangers takes no listed peer's
// health away. Everything runs on the one (main) executor it is given.
class Roster : public std::enable_shared_from_this<Roster> {
public:
    using Timing = RosterTiming;
    static constexpr std::size_t maximumSenders = 256;
    // Shown for a talker who never announced a name.
    inline static const std::string fallbackName = "Someone";

    struct Talker {
        Uuid id;
        std::string name;
        bool isToUs = false;  // its spurt came to us directly, not to the group
        bool operator==(const Talker&) const = default;
    };

    // `maximumTalkers`: talkers followed at once (as many as playback mixes).
    // `random01` returns numbers in [0, 1) for the jitter; empty: a seeded engine.
    Roster(std::shared_ptr<Executor> executor, Uuid ownID, std::size_t maximumTalkers, Timing timing = {},
           std::function<double()> random01 = {});

    // Assign before start(). onBeacon sends one hello with the current name.
    std::function<void()> onBeacon;
    std::function<void()> onPeersChanged;
    std::function<void()> onInboundBlockedChanged;
    std::function<void()> onTalkersChanged;
    // A talker fell silent for longer than the talker time-out without a talk end.
    std::function<void(const Uuid&)> onTalkerTimedOut;

    void start();
    // Stops beacons and checks; every judgement is dropped.
    void stop();

    // The group became usable (at start and after every rebuild): a beacon now
    // and then on schedule. Off air nothing is judged.
    void setOnAir(bool isOnAir);
    // Ours: a sender under it (a one-shot `say` elsewhere) gets no row of its own.
    void setOwnName(std::string name);
    // Every packet received, our own looped-back ones included.
    void packetReceived(const WalkiePacket& packet, const DatagramOrigin& origin);
    // The DNS-SD list, without our own record: each peer's service name (and
    // address, when resolved).
    void setDnsSdPeers(std::vector<Peer> peers);
    void setDnsSdAvailable(bool isAvailable);
    // Only senders who hold the key can send (a private channel): a sender is
    // listed from its first beacon, as no flood of strangers can reach us.
    void setSendersAuthenticated(bool isAuthenticated);

    // One row per name, sorted as people count: what DNS-SD lists, and the
    // senders it does not list whose beacons arrive or who talked.
    const std::vector<Peer>& peers() const { return peers_; }
    // Our own packets no longer come back to us while on air: something on this
    // computer drops incoming multicast.
    bool isInboundBlocked() const { return isInboundBlocked_; }
    // Ends every talker as their silence would (onTalkerTimedOut for each):
    // after a switch of channel, they talk on the old one.
    void endTalkers();
    // Everyone talking, in the order they began.
    const std::vector<Talker>& talkers() const { return talkerList_; }
    // The name `sender` announced last; empty when it never did.
    std::string announcedName(const Uuid& sender) const;
    // The same, or `fallbackName`.
    std::string nameOf(const Uuid& sender) const;
    // The listed peer shown as `name`, or none.
    std::optional<Peer> find(std::string_view name) const;
    // Whoever last talked to us directly, while the reply window after that
    // spurt lasts.
    std::optional<Peer> replyTarget() const;
    // When the reply window closes, as it stands now.
    Executor::TimePoint replyUntil() const { return lastDirectAt_ + seconds(timing_.replyWindow); }

private:
    struct Sender {
        std::string name;       // as announced; empty until it says
        std::string canonical;  // compared form
        std::string address;    // the source of its last packet
        Executor::TimePoint firstHeard;
        Executor::TimePoint lastHeard;
        std::uint32_t packets = 0;  // counted up to 2: a second one makes it known
        bool hasTalked = false;
        bool isDnsSdListed = false;  // one of DNS-SD's records is its
        // Its record was withdrawn (the program quit): not listed from its
        // beacons until it is heard again.
        bool isWithdrawn = false;
    };
    struct Listed {
        Peer peer;
        std::string canonical;
        Executor::TimePoint listedSince;
        Executor::TimePoint lastHeard;  // kept even when its sender is pushed out
    };
    struct TalkerState {
        Uuid id;
        Executor::TimePoint lastActivity;
        bool isToUs = false;
    };

    void scheduleBeacon(std::uint64_t generation);
    void scheduleCheck(std::uint64_t generation);
    void sendBeacon();
    void answerNewcomer();
    // Recomputes the judgements and reports what changed.
    void evaluate(bool alwaysReportPeers = false);
    Sender* rememberSender(const Uuid& id, const WalkiePacket& packet, const DatagramOrigin& origin);
    bool makeRoom();
    void markListed(Sender& sender) const;
    Executor::Duration randomInterval();
    std::vector<Peer> rows(Executor::TimePoint now);
    Peer::Talking talkingOf(const Uuid& id) const;

    // Talker tracking.
    void markTalker(const Uuid& sender, bool isDirect);
    void endTalker(const Uuid& sender);
    void publishTalkers();
    void checkTalkerTimeout();

    std::shared_ptr<Executor> executor_;
    Uuid ownID_;
    std::size_t maximumTalkers_;
    Timing timing_;
    std::function<double()> random01_;
    std::string ownCanonical_;

    bool isRunning_ = false;
    bool isOnAir_ = false;
    bool isDnsSdAvailable_ = true;
    bool isAuthenticated_ = false;
    // Bumped whenever the beacon schedule restarts; older chains end.
    std::uint64_t beaconGeneration_ = 0;
    std::uint64_t checkGeneration_ = 0;
    Executor::TimePoint onAirSince_{};
    Executor::TimePoint ownLastHeard_{};
    bool isAnswerPending_ = false;
    bool hasAnswered_ = false;
    Executor::TimePoint lastAnswer_{};

    std::vector<Listed> dnsSdPeers_;
    std::unordered_map<Uuid, Sender, UuidHash> senders_;
    std::vector<TalkerState> talkers_;
    std::vector<Talker> talkerList_;  // published
    // Due when the quietest talker times out; idle while nobody talks.
    OneShotTimer talkerTimeout_;
    std::optional<Uuid> lastDirectFrom_;
    Executor::TimePoint lastDirectAt_{};

    std::vector<Peer> peers_;
    bool isInboundBlocked_ = false;
    NameOrder nameOrder_;
};

} // namespace hh
