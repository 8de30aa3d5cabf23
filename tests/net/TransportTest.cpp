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
// goes down and up are transport_lab's, on real sockets; here the rules for
// when the group is rebuilt, on virtual time.

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

// The envelope is one layer around whole datagrams: every packet the transport
// sends is sealed for the channel it is on when the packet reaches the queue,
// and only what authenticates comes out.
TEST_F(TransportTest, PrivateChannelSealsEverythingAndReportsAnotherPassphraseOnce) {
    const auto office = Channel::makePrivate("Office", "one two three");
    std::vector<WalkiePacket> received;
    std::vector<bool> wrong;
    transport->onPacket = [&](const WalkiePacket& p, const DatagramOrigin&) { received.push_back(p); };
    transport->onWrongPassphrase = [&](bool isWrong) { wrong.push_back(isWrong); };
    WalkiePacket talkStart;
    talkStart.type = PacketType::talkStart;
    talkStart.payload = {'A', 'd', 'a'};

    run(&Transport::start);
    transport->send(talkStart);  // queued before the switch: leaves on the open group
    transport->setChannel(office);
    transport->send(talkStart);
    queue->runUntilIdle();
    ASSERT_EQ(groups(), 2u);
    EXPECT_EQ(platform->groups[0]->sent, std::vector<Bytes>{talkStart.encode()});
    const auto& group = *platform->lastGroup();
    ASSERT_EQ(group.sent.size(), 1u);

    // Our own packet looped back opens; an open-channel packet, a forgery and a replay do not.
    platform->lastGroup()->deliverDatagram(group.sent[0]);
    platform->lastGroup()->deliverDatagram(talkStart.encode());
    auto forged = group.sent[0];
    forged.at(Envelope::overhead) ^= 1;  // in the sealed packet
    platform->lastGroup()->deliverDatagram(forged);
    platform->lastGroup()->deliverDatagram(group.sent[0]);
    // Many packets with another passphrase: one report, and one when they have stopped.
    PacketSealer stranger(Channel::makePrivate("Office", "four five six").key());
    for (int i = 0; i < 100; ++i) platform->lastGroup()->deliverDatagram(stranger.seal(talkStart.encode()));
    queue->runUntilIdle();
    EXPECT_EQ(received, std::vector{talkStart});
    EXPECT_EQ(wrong, std::vector{true});
    queue->advance(20s);
    platform->lastGroup()->deliverDatagram(stranger.seal(talkStart.encode()));
    queue->advance(29s);
    EXPECT_EQ(wrong, std::vector{true});
    queue->advance(2s);
    EXPECT_EQ(wrong, (std::vector{true, false}));

    // Back on the open channel: today's bytes on today's group.
    transport->setChannel(Channel());
    transport->send(talkStart);
    queue->runUntilIdle();
    EXPECT_EQ(platform->lastGroup()->host, "239.42.42.42");
    EXPECT_EQ(platform->lastGroup()->sent, std::vector<Bytes>{talkStart.encode()});
}

} // namespace
} // namespace hh
