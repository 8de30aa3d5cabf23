#include "support/ManualExecutor.h"
#include "support/FakeNetworkPlatform.h"
#include "core/net/Transport.h"

#include <gtest/gtest.h>

namespace hh {
namespace {

using namespace std::chrono_literals;
using Kind = GroupState::Kind;
using State = Transport::State;

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        transport->onPacket = [this](const WalkiePacket& p) { packets.push_back(p); };
        transport->onState = [this](const State& s) { states.push_back(s); };
    }
    void run(void (Transport::*operation)()) {
        ((*transport).*operation)();
        queue->runUntilIdle();
    }
    void path(std::vector<std::string> interfaces, bool satisfied = true) {
        platform->lastMonitor()->deliverPath({satisfied, std::move(interfaces)});
        queue->runUntilIdle();
    }
    void fail(const std::string& message) {
        platform->lastGroup()->deliverState({Kind::failed, message});
        queue->runUntilIdle();
    }
    std::size_t groups() const { return platform->groups.size(); }

    std::shared_ptr<ManualExecutor> queue = std::make_shared<ManualExecutor>();
    std::shared_ptr<FakeNetworkPlatform> platform = std::make_shared<FakeNetworkPlatform>(queue);
    std::shared_ptr<Transport> transport = std::make_shared<Transport>(platform);
    std::vector<WalkiePacket> packets;
    std::vector<State> states;
    const WalkiePacket talkEnd{
        .type = PacketType::talkEnd, .senderID = Uuid::random(), .sequence = 42, .frameIndex = 0, .payload = {}};
};

// The group's states as reported and dropped datagrams are transport_lab's, on
// real sockets.

// Sends leave through the group only while there is one; start is queued and
// idempotent; stop cancels and reports; a new start makes everything afresh.
TEST_F(TransportTest, SendsOnlyThroughARunningGroupAndStopStartIsFresh) {
    transport->send(talkEnd);
    transport->start();
    transport->start();
    EXPECT_TRUE(platform->groups.empty());
    queue->runUntilIdle();
    ASSERT_EQ(groups(), 1u);
    EXPECT_TRUE(platform->allSent().empty());
    transport->send(talkEnd);
    run(&Transport::stop);
    transport->send(talkEnd);
    queue->runUntilIdle();
    EXPECT_EQ(platform->allSent(), std::vector<Bytes>{talkEnd.encode()});
    EXPECT_TRUE(platform->groups[0]->isCancelled && platform->monitors[0]->isCancelled);
    EXPECT_EQ(states, std::vector{State::cancelled()});
    run(&Transport::start);
    EXPECT_EQ(groups(), 2u);
    EXPECT_EQ(platform->monitors.size(), 2u);
}

TEST_F(TransportTest, PathSignatureRules) {
    run(&Transport::start);
    path({"en0"});  // first report: stored only
    EXPECT_EQ(groups(), 1u);
    path({"en0", "utun3"});  // new interface: rebuild
    EXPECT_EQ(groups(), 2u);
    EXPECT_TRUE(platform->groups[0]->isCancelled);
    path({"utun3", "en0"});  // same set in another order
    EXPECT_EQ(groups(), 2u);
    path({}, false);  // down: recorded, no rebuild
    EXPECT_EQ(groups(), 2u);
    path({"en0"});  // back: rebuild
    EXPECT_EQ(groups(), 3u);
    // A rebuild is not reported as the old group's cancellation.
    EXPECT_TRUE(states.empty());

    // The signature survives stop and start: compared with the report from before.
    run(&Transport::stop);
    run(&Transport::start);
    path({"en0"});
    EXPECT_EQ(groups(), 4u);
}

TEST_F(TransportTest, WaitingThenFailedWithinTwoSecondsRebuildsOnce) {
    run(&Transport::start);
    platform->lastGroup()->deliverState({Kind::waiting, "Network is down"});
    queue->advance(500ms);
    fail("No such device");
    EXPECT_EQ(states, (std::vector{State::failed("Network is down"), State::failed("No such device")}));
    queue->advance(1499ms);
    EXPECT_EQ(groups(), 1u);
    queue->advance(1ms);
    EXPECT_EQ(groups(), 2u);
    queue->advance(10s);
    EXPECT_EQ(groups(), 2u);
    EXPECT_EQ(states.size(), 2u);  // the discarded group's cancellation is not reported
}

TEST_F(TransportTest, SetupFailureIsReportedAndRetried) {
    platform->groupCreationError = "Address family not supported";
    run(&Transport::start);
    EXPECT_EQ(states, std::vector{State::failed("multicast setup: Address family not supported")});
    platform->groupCreationError.reset();
    queue->advance(2s);
    EXPECT_EQ(groups(), 1u);
}

// A restart rebuilds at once and leaves a pending rebuild in place; a stop
// makes the pending one do nothing, and clears it for the next failure.
TEST_F(TransportTest, PendingRebuildWithRestartAndStop) {
    run(&Transport::start);
    fail("x");
    run(&Transport::restart);
    EXPECT_EQ(groups(), 2u);
    queue->advance(2s);
    EXPECT_EQ(groups(), 3u);
    fail("y");
    transport->stop();
    queue->advance(5s);
    EXPECT_EQ(groups(), 3u);
    run(&Transport::start);
    fail("z");
    queue->advance(2s);
    EXPECT_EQ(groups(), 5u);
}

TEST_F(TransportTest, NothingReachesATransportThatIsGone) {
    run(&Transport::start);
    auto g = platform->lastGroup();
    g->deliverDatagram(talkEnd.encode());
    g->deliverState({Kind::failed, "x"});
    transport->send(talkEnd);
    transport.reset();
    queue->advance(5s);
    EXPECT_TRUE(packets.empty());
    EXPECT_TRUE(states.empty());
    EXPECT_TRUE(g->isDestroyed);
}

} // namespace
} // namespace hh
