// Discovery on the fake DNS-SD platform. The real daemon, the listener's
// hang-up and the log lines around a missing daemon are discovery_lab's; a
// rename is walked through the controller's tests.
#include "support/ManualExecutor.h"
#include "core/net/Discovery.h"
#include "support/FakeDnsSdPlatform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace hh {
namespace {

using ::testing::ElementsAre;

class DiscoveryTest : public ::testing::Test {
protected:
    DiscoveryTest() {
        discovery->onPeersChanged = [this](std::vector<Peer> peers) { delivered.push_back(std::move(peers)); };
    }
    void start() {
        discovery->start();
        queue->runUntilIdle();
    }
    FakeDnsSdPlatform::Browser& browser(std::size_t i = 0) { return *platform->browsers.at(i); }
    void report(std::vector<std::string> names, std::size_t i = 0) {
        browser(i).deliverResults(FakeDnsSdPlatform::results(std::move(names)));
    }

    std::shared_ptr<ManualExecutor> queue = std::make_shared<ManualExecutor>();
    std::shared_ptr<FakeDnsSdPlatform> platform = std::make_shared<FakeDnsSdPlatform>(queue);
    std::shared_ptr<Discovery> discovery = std::make_shared<Discovery>("Desk One", platform);
    std::vector<std::vector<Peer>> delivered;
};

TEST_F(DiscoveryTest, ResultsBecomePeersInReportOrderRebuiltEachTime) {
    start();
    start();  // what runs is kept
    ASSERT_EQ(platform->listeners.size(), 1u);
    EXPECT_EQ(platform->listeners[0]->service->name, "Desk One");
    ASSERT_EQ(platform->browsers.size(), 1u);
    report({"Zed", "Alpha", "Desk One"});
    // Two services with the same name (e.g. on two interfaces) stay two entries.
    report({"Twin", "Twin"});
    // A result that is not a service endpoint carries no name and is skipped.
    auto mixed = FakeDnsSdPlatform::results({"Kept"});
    mixed.insert(mixed.begin(), DnsSdBrowseResult{std::nullopt});
    browser().deliverResults(mixed);
    report({});  // an empty set is delivered like any other
    ASSERT_EQ(delivered.size(), 4u);
    EXPECT_THAT(delivered[0], ElementsAre(Peer{"Zed", "Zed"}, Peer{"Alpha", "Alpha"}, Peer{"Desk One", "Desk One"}));
    EXPECT_THAT(delivered[1], ElementsAre(Peer{"Twin", "Twin"}, Peer{"Twin", "Twin"}));
    EXPECT_THAT(delivered[2], ElementsAre(Peer{"Kept", "Kept"}));
    EXPECT_TRUE(delivered[3].empty());
}

TEST_F(DiscoveryTest, StopThenStartCancelsTheOldObjectsAndMakesNewOnes) {
    discovery->stop();  // idle: nothing to do
    start();
    report({"Alpha"});
    discovery->stop();
    start();
    EXPECT_TRUE(platform->listeners[0]->isCancelled && browser(0).isCancelled);
    ASSERT_EQ(platform->browsers.size(), 2u);
    EXPECT_EQ(delivered.size(), 1u) << "no final empty list on stop";
    report({"Fresh"}, 1);
    EXPECT_THAT(delivered.back(), ElementsAre(Peer{"Fresh", "Fresh"}));
}

TEST_F(DiscoveryTest, ListenerFailureStillBrowsesAndALaterStartRetries) {
    platform->isListenerCreationFailing = true;
    start();
    report({"Alpha"});
    EXPECT_EQ(delivered.size(), 1u);
    platform->isListenerCreationFailing = false;
    start();
    EXPECT_EQ(platform->listeners.size(), 1u);
    EXPECT_EQ(platform->browsers.size(), 1u) << "the running browser is kept";
}

TEST_F(DiscoveryTest, NothingHappensOnceTheDiscoveryIsGone) {
    start();
    discovery->stop();
    discovery.reset();
    queue->runUntilIdle();
    EXPECT_FALSE(browser().isCancelled) << "the stop job must not run for a discovery that is gone";
    report({"Late"});
    EXPECT_TRUE(delivered.empty());
    auto second = std::make_shared<Discovery>("Desk Two", platform);
    second->start();
    second.reset();
    queue->runUntilIdle();
    EXPECT_EQ(platform->listeners.size(), 1u) << "a start job for a discovery that is gone creates nothing";
}

} // namespace
} // namespace hh
