#include "support/ManualExecutor.h"
#include "core/ptt/PresenceTracker.h"

#include <gtest/gtest.h>

#include <set>

namespace hh {
namespace {

using Reach = Peer::Reach;

class PresenceTrackerTest : public ::testing::Test {
protected:
    PresenceTrackerTest() { make(); }

    void make(std::function<double()> random01 = [] { return 0.5; }) {
        tracker = std::make_shared<PresenceTracker>(main, ownID, PresenceTiming{}, std::move(random01));
        tracker->onBeacon = [this] { beacons.push_back(main->now()); };
        tracker->onInboundBlockedChanged = [this] { ++inboundReports; };
        tracker->start();
    }

    void advance(double s) { main->advance(seconds(s)); }

    // Our own beacons loop back as they are sent.
    void onAirWithLoopback() {
        tracker->onBeacon = [this] {
            beacons.push_back(main->now());
            receive(ownID, PacketType::hello, "Me");
        };
        tracker->setOnAir(true);
    }

    void receive(const Uuid& id, PacketType type, std::string name = {}) {
        WalkiePacket p;
        p.type = type;
        p.senderID = id;
        p.payload.assign(name.begin(), name.end());
        tracker->packetReceived(p);
    }

    Reach reachOf(const std::string& name) {
        for (const auto& p : tracker->peers())
            if (p.name == name) return p.reach;
        ADD_FAILURE() << name << " not listed";
        return Reach::heard;
    }

    std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>();
    Uuid ownID = Uuid::random();
    std::shared_ptr<PresenceTracker> tracker;
    std::vector<Executor::TimePoint> beacons;
    int inboundReports = 0;
};

// None before the group is on air, one at once on air and after each rebuild,
// then every 5 s ± 0.5 s drawn anew each time; none off air or once stopped.
TEST_F(PresenceTrackerTest, BeaconsOnAirAndAfterEveryRebuildThenOnAJitteredSchedule) {
    make({});  // the default draw
    advance(10);
    EXPECT_TRUE(beacons.empty());
    const auto t0 = main->now();
    tracker->setOnAir(true);
    advance(1000);
    ASSERT_GT(beacons.size(), 150u);
    EXPECT_EQ(beacons[0], t0);
    std::set<Executor::Duration> gaps;
    for (std::size_t i = 1; i < beacons.size(); ++i) gaps.insert(beacons[i] - beacons[i - 1]);
    EXPECT_GE(*gaps.begin(), seconds(4.5));
    EXPECT_LE(*gaps.rbegin(), seconds(5.5));
    EXPECT_GT(gaps.size(), 50u);

    beacons.clear();
    tracker->setOnAir(false);
    advance(3);
    EXPECT_TRUE(beacons.empty());
    tracker->setOnAir(true);
    advance(4.4);
    EXPECT_EQ(beacons.size(), 1u) << "one at once, and the old schedule does not run on beside the new";
    tracker->stop();
    advance(20);
    EXPECT_EQ(beacons.size(), 1u);
}

TEST_F(PresenceTrackerTest, ANewcomerIsAnsweredSoonButAFloodDrawsOneBeaconAnInterval) {
    tracker->setOnAir(true);  // beacon at 0, then every 5 s (random 0.5)
    advance(1);
    receive(Uuid::random(), PacketType::hello, "Newcomer");
    advance(0.25);
    EXPECT_EQ(beacons.size(), 2u) << "answered after half the jitter";
    const auto before = beacons.size();
    for (int i = 0; i < 200; ++i) {
        receive(Uuid::random(), PacketType::hello, "Flood " + std::to_string(i));
        advance(0.1);
    }
    // 20 s of flood: the four scheduled beacons and at most one answer each 5 s.
    EXPECT_LE(beacons.size() - before, 4u + 4u);
}

// A DNS-SD peer, here renamed "Kitchen #2" and heard through its sender
// "Kitchen", is not heard after 15 s of silence, not responding after 30 s, and
// back once heard; removal stays DNS-SD's decision. One never heard is judged
// the same once on air and listed for as long; off air nothing is judged.
TEST_F(PresenceTrackerTest, ReachFollowsSilenceAtTheThresholds) {
    const Uuid kitchen = Uuid::random();
    tracker->setDnsSdPeers({{"Kitchen #2", "Kitchen #2"}, {"Quiet", "Quiet"}});
    advance(60);
    EXPECT_EQ(reachOf("Quiet"), Reach::heard);
    onAirWithLoopback();
    receive(kitchen, PacketType::hello, "Kitchen");
    const auto heardAt = main->now();
    for (const auto& [at, expected] : {std::pair{15.0, Reach::heard}, {16.0, Reach::notHeard}, {30.0, Reach::notHeard},
                                       {31.0, Reach::notResponding}}) {
        main->advance(heardAt + seconds(at) - main->now());
        EXPECT_EQ(reachOf("Kitchen #2"), expected) << at << " s after the last packet";
        EXPECT_EQ(reachOf("Quiet"), expected) << at << " s on air";
    }
    EXPECT_FALSE(tracker->isInboundBlocked());
    receive(kitchen, PacketType::audio);  // any packet of a named sender counts
    advance(1);
    EXPECT_EQ(reachOf("Kitchen #2"), Reach::heard);
    EXPECT_EQ(tracker->peers().size(), 2u);
}

TEST(PresenceNames, ServiceNamesMatchTheirSenderAcrossRenames) {
    const struct {
        const char* service;
        bool matches;  // the sender "Kitchen"
    } cases[] = {
        {"Kitchen", true}, {"Kitchen #17", true}, {"Kitchen #", false}, {"Kitchen #2a", false},
        {"Kitchen 2", false}, {"kitchen", false}, {"Kitchenette", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isServiceOfSender(canonicalName(c.service), "Kitchen"), c.matches) << c.service;
    EXPECT_TRUE(isServiceOfSender(canonicalName("Caf\u00e9 #3"), canonicalName("Cafe\u0301")));
    EXPECT_FALSE(isServiceOfSender("Kitchen", "Kitchen #2"));
}

TEST_F(PresenceTrackerTest, OwnPacketsProveTheInboundPath) {
    onAirWithLoopback();
    tracker->setDnsSdPeers({{"Hall", "Hall"}});
    advance(60);
    EXPECT_FALSE(tracker->isInboundBlocked());

    // The loopback stops (a local firewall): blocked once 15 s pass without one.
    tracker->onBeacon = [this] { beacons.push_back(main->now()); };
    const auto lastOwn = beacons.back();
    main->advance(lastOwn + seconds(15) - main->now());
    EXPECT_FALSE(tracker->isInboundBlocked());
    advance(1);
    EXPECT_TRUE(tracker->isInboundBlocked());
    EXPECT_EQ(inboundReports, 1);
    // Nothing at all is heard, so a silent peer is not judged gone.
    advance(120);
    EXPECT_EQ(reachOf("Hall"), Reach::notHeard);

    receive(ownID, PacketType::hello, "Me");
    advance(1);
    EXPECT_FALSE(tracker->isInboundBlocked());
    EXPECT_EQ(inboundReports, 2);

    // Off air nothing is blocked: nothing is expected to arrive.
    tracker->setOnAir(false);
    advance(60);
    EXPECT_FALSE(tracker->isInboundBlocked());
}

// Without a DNS-SD daemon, named senders are listed from their packets (a
// restarted program under its new ID on its old row) until 30 s of silence.
TEST_F(PresenceTrackerTest, WithoutDnsSdBeaconsListThePeers) {
    onAirWithLoopback();
    tracker->setDnsSdAvailable(false);
    const Uuid deskAgain = Uuid::random();
    receive(Uuid::random(), PacketType::hello, "Desk");
    receive(Uuid::random(), PacketType::talkStart, "Porch");
    receive(Uuid::random(), PacketType::audio);  // unnamed: not listed
    advance(20);
    receive(deskAgain, PacketType::hello, "Desk");
    advance(1);
    ASSERT_EQ(tracker->peers().size(), 2u);
    EXPECT_TRUE(tracker->peers()[0].isBeaconOnly);
    EXPECT_EQ(reachOf("Desk"), Reach::heard);
    EXPECT_EQ(reachOf("Porch"), Reach::notHeard);
    advance(10);
    ASSERT_EQ(tracker->peers().size(), 1u);
    EXPECT_EQ(tracker->peers()[0].name, "Desk");

    // A daemon answers: the list is DNS-SD's again.
    tracker->setDnsSdPeers({});
    tracker->setDnsSdAvailable(true);
    EXPECT_TRUE(tracker->peers().empty());
}

} // namespace
} // namespace hh
