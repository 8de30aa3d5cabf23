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
    void SetUp() override { transport->onState = [this](const State& s) { states.push_back(s); }; }
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
    std::vector<State> states;
};

// Sending, receiving, the group's states, dropped datagrams and a link that
// goes down and up are transport_lab's, on real sockets, and private
// channels' sealing private_lab's; here the rules for when the group is
// rebuilt, on virtual time.

TEST_F(TransportTest, PathSignatureRules) {
    run(&Transport::start);
    path({"en0"});  // first report: stored only
    EXPECT_EQ(groups(), 1u);
    path({"en0", "utun3"});  // new interface: rebuild
    EXPECT_EQ(groups(), 2u);
    EXPECT_TRUE(platform->groups[0]->isCancelled);
    path({"utun3", "en0"});  // same set in another order
    EXPECT_EQ(groups(), 2u);
    path({}, false);  // down: rebuilt too, so no group stays joined on a link that is gone
    EXPECT_EQ(groups(), 3u);
    path({}, false);
    EXPECT_EQ(groups(), 3u);
    path({"en0"});  // back: rebuild
    EXPECT_EQ(groups(), 4u);
    // A rebuild is not reported as the old group's cancellation.
    EXPECT_TRUE(states.empty());
}

// Waiting then failed within 2 s is one rebuild, 2 s after the failure; a
// restart rebuilds at once and leaves a pending rebuild in place.
TEST_F(TransportTest, WaitingThenFailedRebuildsOnceAndRestartKeepsThePendingRebuild) {
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

    fail("x");
    run(&Transport::restart);
    EXPECT_EQ(groups(), 3u);
    queue->advance(2s);
    EXPECT_EQ(groups(), 4u);
}

} // namespace
} // namespace hh
