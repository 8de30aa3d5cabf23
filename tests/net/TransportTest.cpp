#include "core/exec/ManualExecutor.h"
#include "core/net/FakeNetworkPlatform.h"
#include "core/net/Transport.h"

#include <gtest/gtest.h>

namespace hh {
namespace {

using namespace std::chrono_literals;
using Kind = GroupState::Kind;

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        transport->onPacket = [this](const WalkiePacket& p) { packets.push_back(p); };
        transport->onState = [this](const Transport::State& s) { states.push_back(s); };
    }

    void startAndSettle() {
        transport->start();
        queue->runUntilIdle();
    }

    void path(std::vector<std::string> interfaces, bool satisfied = true) {
        platform->lastMonitor()->deliverPath({satisfied, std::move(interfaces)});
        queue->runUntilIdle();
    }

    std::shared_ptr<ManualExecutor> queue = std::make_shared<ManualExecutor>();
    std::shared_ptr<FakeNetworkPlatform> platform = std::make_shared<FakeNetworkPlatform>();
    std::shared_ptr<Transport> transport = std::make_shared<Transport>(queue, platform);
    std::vector<WalkiePacket> packets;
    std::vector<Transport::State> states;
};

WalkiePacket packet(PacketType type, std::uint32_t sequence = 7) {
    WalkiePacket p;
    p.type = type;
    p.senderID = Uuid::random();
    p.sequence = sequence;
    return p;
}

TEST_F(TransportTest, OperationsReturnBeforeAnythingHappens) {
    transport->start();
    EXPECT_TRUE(platform->groups.empty());
    queue->runUntilIdle();
    ASSERT_EQ(platform->groups.size(), 1u);
    const auto group = platform->lastGroup();
    EXPECT_EQ(group->host, "239.42.42.42");
    EXPECT_EQ(group->port, 54321);
    EXPECT_EQ(group->maximumMessageSize, 2048u);
    EXPECT_TRUE(group->rejectOversized);
    EXPECT_TRUE(group->isStarted);
    EXPECT_EQ(group->queue, queue.get());
    ASSERT_EQ(platform->monitors.size(), 1u);
    EXPECT_TRUE(platform->lastMonitor()->isStarted);
}

TEST_F(TransportTest, StartTwiceOpensOneGroupAndOneMonitor) {
    transport->start();
    transport->start();
    queue->runUntilIdle();
    EXPECT_EQ(platform->groups.size(), 1u);
    EXPECT_EQ(platform->monitors.size(), 1u);
}

TEST_F(TransportTest, GroupStatesMapToTransportStates) {
    startAndSettle();
    auto g = platform->lastGroup();
    g->deliverState({Kind::setup, {}});
    g->deliverState({Kind::ready, {}});
    queue->runUntilIdle();
    EXPECT_EQ(states, (std::vector{Transport::State::setup(), Transport::State::ready()}));
}

TEST_F(TransportTest, DatagramsAreDecodedAndMalformedOnesDropped) {
    startAndSettle();
    auto g = platform->lastGroup();
    Bytes talkEnd(26, 0);
    talkEnd[0] = 1;
    talkEnd[1] = 2;
    g->deliverDatagram(Bytes(25, 1));
    g->deliverDatagram(std::nullopt);
    Bytes wrongVersion = talkEnd;
    wrongVersion[0] = 2;
    g->deliverDatagram(wrongVersion);
    g->deliverDatagram(talkEnd);
    queue->runUntilIdle();
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].type, PacketType::talkEnd);
    EXPECT_TRUE(packets[0].payload.empty());
    EXPECT_TRUE(states.empty());  // drops are silent
}

TEST_F(TransportTest, SendEncodesAndDropsWithoutAGroup) {
    transport->send(packet(PacketType::talkStart));  // before start
    queue->runUntilIdle();
    EXPECT_TRUE(platform->allSent().empty());

    startAndSettle();
    const auto p = packet(PacketType::audio, 42);
    transport->send(p);
    queue->runUntilIdle();
    ASSERT_EQ(platform->lastGroup()->sent.size(), 1u);
    EXPECT_EQ(platform->lastGroup()->sent[0], p.encode());

    transport->stop();
    transport->send(p);
    queue->runUntilIdle();
    EXPECT_EQ(platform->allSent().size(), 1u);
    EXPECT_EQ(states, std::vector{Transport::State::cancelled()});  // only the stop's report
}

TEST_F(TransportTest, StopReportsCancelledAndStartAgainIsFresh) {
    startAndSettle();
    auto first = platform->lastGroup();
    auto firstMonitor = platform->lastMonitor();
    transport->stop();
    queue->runUntilIdle();
    EXPECT_TRUE(first->isCancelled);
    EXPECT_TRUE(firstMonitor->isCancelled);
    EXPECT_EQ(states, std::vector{Transport::State::cancelled()});

    transport->start();
    queue->runUntilIdle();
    EXPECT_EQ(platform->groups.size(), 2u);
    EXPECT_EQ(platform->monitors.size(), 2u);
}

TEST_F(TransportTest, PathSignatureRules) {
    startAndSettle();
    path({"en0"});  // first report: stored only
    EXPECT_EQ(platform->groups.size(), 1u);
    path({"en0", "utun3"});  // new interface: rebuild
    EXPECT_EQ(platform->groups.size(), 2u);
    EXPECT_TRUE(platform->groups[0]->isCancelled);
    path({"utun3", "en0"});  // same set in another order
    EXPECT_EQ(platform->groups.size(), 2u);
    path({}, false);  // down: recorded, no rebuild
    EXPECT_EQ(platform->groups.size(), 2u);
    path({"en0"});  // back: rebuild
    EXPECT_EQ(platform->groups.size(), 3u);
    // A rebuild is not reported as the old group's cancellation.
    EXPECT_TRUE(states.empty());
}

TEST_F(TransportTest, SignatureSurvivesStopAndStart) {
    startAndSettle();
    path({"en0"});
    transport->stop();
    queue->runUntilIdle();
    transport->start();
    queue->runUntilIdle();
    ASSERT_EQ(platform->groups.size(), 2u);
    path({"en0"});  // compared with the report from before the stop
    EXPECT_EQ(platform->groups.size(), 2u);
    path({"eth1"});
    EXPECT_EQ(platform->groups.size(), 3u);
}

TEST_F(TransportTest, WaitingThenFailedWithinTwoSecondsRebuildsOnce) {
    startAndSettle();
    auto g = platform->lastGroup();
    g->deliverState({Kind::waiting, "Network is down"});
    queue->advance(500ms);
    g->deliverState({Kind::failed, "No such device"});
    queue->runUntilIdle();
    EXPECT_EQ(states, (std::vector{Transport::State::failed("Network is down"),
                                   Transport::State::failed("No such device")}));
    queue->advance(1499ms);
    EXPECT_EQ(platform->groups.size(), 1u);
    queue->advance(1ms);
    EXPECT_EQ(platform->groups.size(), 2u);
    queue->advance(10s);
    EXPECT_EQ(platform->groups.size(), 2u);
    EXPECT_EQ(states.size(), 2u);  // the discarded group's cancellation is not reported
}

TEST_F(TransportTest, RestartWhileRebuildPendingRebuildsTwice) {
    startAndSettle();
    platform->lastGroup()->deliverState({Kind::failed, "boom"});
    queue->runUntilIdle();
    transport->restart();
    queue->runUntilIdle();
    EXPECT_EQ(platform->groups.size(), 2u);
    queue->advance(2s);
    EXPECT_EQ(platform->groups.size(), 3u);
}

TEST_F(TransportTest, DescriptorFailureIsReportedAndRetriedWhileRunning) {
    platform->groupCreationError = "Address family not supported";
    startAndSettle();
    EXPECT_EQ(states, std::vector{Transport::State::failed("multicast setup: Address family not supported")});
    EXPECT_EQ(platform->creationFailures, 1);
    queue->advance(2s);
    EXPECT_EQ(platform->creationFailures, 2);
    EXPECT_EQ(states.size(), 2u);

    platform->groupCreationError.reset();
    queue->advance(2s);
    EXPECT_EQ(platform->groups.size(), 1u);
    queue->advance(10s);
    EXPECT_EQ(platform->groups.size(), 1u);  // healthy: no more rebuilds
}

TEST_F(TransportTest, PendingRebuildAfterStopDoesNothing) {
    startAndSettle();
    platform->lastGroup()->deliverState({Kind::failed, "x"});
    queue->runUntilIdle();
    transport->stop();
    queue->advance(5s);
    EXPECT_EQ(platform->groups.size(), 1u);
    // The pending flag was cleared by the late rebuild, so a new failure schedules again.
    transport->start();
    queue->runUntilIdle();
    platform->lastGroup()->deliverState({Kind::failed, "y"});
    queue->advance(2s);
    EXPECT_EQ(platform->groups.size(), 3u);
}

TEST_F(TransportTest, NothingReachesATransportThatIsGone) {
    startAndSettle();
    auto g = platform->lastGroup();
    Bytes talkEnd(26, 0);
    talkEnd[0] = 1;
    talkEnd[1] = 2;
    g->deliverDatagram(talkEnd);
    g->deliverState({Kind::failed, "x"});
    transport->send(packet(PacketType::audio));
    transport.reset();
    queue->advance(5s);
    EXPECT_TRUE(packets.empty());
    EXPECT_TRUE(states.empty());
    EXPECT_TRUE(g->isDestroyed);
}

} // namespace
} // namespace hh
