#include "support/ManualExecutor.h"
#include "core/ptt/PresenceTracker.h"

#include <gtest/gtest.h>

#include <set>

namespace hh {
namespace {

class PresenceTrackerTest : public ::testing::Test {
protected:
    PresenceTrackerTest() { make(); }

    void make(std::function<double()> random01 = [] { return 0.5; }) {
        tracker = std::make_shared<PresenceTracker>(main, ownID, PresenceTiming{}, std::move(random01));
        tracker->onBeacon = [this] { beacons.push_back(main->now()); };
        tracker->start();
    }

    void advance(double s) { main->advance(seconds(s)); }

    void receive(const Uuid& id, PacketType type, std::string name = {}) {
        WalkiePacket p;
        p.type = type;
        p.senderID = id;
        p.payload.assign(name.begin(), name.end());
        tracker->packetReceived(p);
    }

    std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>();
    Uuid ownID = Uuid::random();
    std::shared_ptr<PresenceTracker> tracker;
    std::vector<Executor::TimePoint> beacons;
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

TEST(PresenceNames, ServiceNamesMatchTheirSenderAcrossRenames) {
    const struct {
        const char* service;
        bool matches;  // the sender "Kitchen"
    } cases[] = {
        {"Kitchen", true}, {"Kitchen #17", true}, {"Kitchen #2a", false}, {"kitchen", false}, {"Kitchenette", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isServiceOfSender(canonicalName(c.service), "Kitchen"), c.matches) << c.service;
    EXPECT_TRUE(isServiceOfSender(canonicalName("Caf\u00e9 #3"), canonicalName("Cafe\u0301")));
    EXPECT_FALSE(isServiceOfSender("Kitchen", "Kitchen #2"));
}

} // namespace
} // namespace hh
