#include "core/exec/AsioExecutor.h"
#include "core/exec/ManualExecutor.h"
#include "core/net/Discovery.h"
#include "core/net/FakeDnsSdPlatform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>

namespace hh {
namespace {

using ::testing::ElementsAre;
using Strings = std::vector<std::string>;

class DiscoveryTest : public ::testing::Test {
protected:
    DiscoveryTest() {
        discovery->onPeersChanged = [this](std::vector<Peer> peers) { delivered.push_back(std::move(peers)); };
    }

    FakeDnsSdPlatform::Browser& browser(std::size_t i = 0) { return *platform->browsers.at(i); }

    std::shared_ptr<ManualExecutor> queue = std::make_shared<ManualExecutor>();
    std::shared_ptr<FakeDnsSdPlatform> platform = std::make_shared<FakeDnsSdPlatform>();
    std::shared_ptr<Discovery> discovery = std::make_shared<Discovery>("Desk One", queue, platform);
    std::vector<std::vector<Peer>> delivered;
};

TEST_F(DiscoveryTest, StartAdvertisesThenBrowsesOnTheQueue) {
    discovery->start();
    EXPECT_TRUE(platform->log.empty()) << "start() only submits a job";
    queue->runUntilIdle();
    EXPECT_EQ(platform->log, (Strings{"make listener 1", "start listener 1", "make browser 1", "start browser 1"}));

    const auto& listener = *platform->listeners.at(0);
    ASSERT_TRUE(listener.service);
    EXPECT_EQ(listener.service->name, "Desk One");
    EXPECT_EQ(listener.service->type, "_hollerhopper._tcp");
    EXPECT_FALSE(listener.service->domain) << "the platform's default domain";
    EXPECT_FALSE(listener.service->txtRecord);
    EXPECT_EQ(browser().type, "_hollerhopper._tcp");
    EXPECT_EQ(browser().domain, "local.");
    EXPECT_TRUE(delivered.empty());
}

TEST_F(DiscoveryTest, StartTwiceCreatesOneListenerAndOneBrowser) {
    discovery->start();
    discovery->start();
    queue->runUntilIdle();
    discovery->start();
    queue->runUntilIdle();
    EXPECT_EQ(platform->listeners.size(), 1u);
    EXPECT_EQ(platform->browsers.size(), 1u);
    EXPECT_FALSE(platform->listeners[0]->isCancelled);
    EXPECT_FALSE(browser().isCancelled);
}

TEST_F(DiscoveryTest, ResultsBecomePeersInReportOrderRebuiltEachTime) {
    discovery->start();
    queue->runUntilIdle();

    browser().deliverResults(FakeDnsSdPlatform::results({"Zed", "Alpha", "Desk One"}));
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_THAT(delivered[0], ElementsAre(Peer{"Zed", "Zed"}, Peer{"Alpha", "Alpha"}, Peer{"Desk One", "Desk One"}))
        << "unsorted, own entry included";

    // Two services with the same name (e.g. on two interfaces) stay two entries.
    browser().deliverResults(FakeDnsSdPlatform::results({"Twin", "Twin"}));
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_THAT(delivered[1], ElementsAre(Peer{"Twin", "Twin"}, Peer{"Twin", "Twin"}));

    // A result that is not a service endpoint carries no name and is skipped.
    auto mixed = FakeDnsSdPlatform::results({"Kept"});
    mixed.insert(mixed.begin(), DnsSdBrowseResult{std::nullopt});
    browser().deliverResults(mixed);
    ASSERT_EQ(delivered.size(), 3u);
    EXPECT_THAT(delivered[2], ElementsAre(Peer{"Kept", "Kept"}));

    browser().deliverResults({});
    ASSERT_EQ(delivered.size(), 4u);
    EXPECT_TRUE(delivered[3].empty()) << "an empty set is delivered like any other";
}

TEST_F(DiscoveryTest, StopThenStartCancelsTheOldObjectsBeforeMakingNewOnes) {
    discovery->start();
    queue->runUntilIdle();
    browser().deliverResults(FakeDnsSdPlatform::results({"Alpha"}));
    platform->log.clear();

    discovery->stop();
    discovery->start();
    queue->runUntilIdle();
    EXPECT_EQ(platform->log, (Strings{"cancel listener 1", "cancel browser 1", "make listener 2", "start listener 2",
                                      "make browser 2", "start browser 2"}));
    EXPECT_EQ(delivered.size(), 1u) << "no final empty list on stop";

    browser(1).deliverResults(FakeDnsSdPlatform::results({"Fresh"}));
    ASSERT_EQ(delivered.size(), 2u);
    EXPECT_THAT(delivered.back(), ElementsAre(Peer{"Fresh", "Fresh"}));
}

TEST_F(DiscoveryTest, StopWhenIdleDoesNothing) {
    discovery->stop();
    queue->runUntilIdle();
    EXPECT_TRUE(platform->log.empty());
}

TEST_F(DiscoveryTest, ListenerFailureStillBrowsesAndALaterStartRetries) {
    platform->isListenerCreationFailing = true;
    discovery->start();
    queue->runUntilIdle();
    EXPECT_TRUE(platform->listeners.empty());
    ASSERT_EQ(platform->browsers.size(), 1u);
    browser().deliverResults(FakeDnsSdPlatform::results({"Alpha"}));
    EXPECT_EQ(delivered.size(), 1u);

    platform->isListenerCreationFailing = false;
    discovery->start();
    queue->runUntilIdle();
    EXPECT_EQ(platform->listeners.size(), 1u);
    EXPECT_EQ(platform->browsers.size(), 1u) << "the running browser is kept";
}

TEST_F(DiscoveryTest, IncomingConnectionsAreCancelledAtOnce) {
    discovery->start();
    queue->runUntilIdle();
    auto connection = platform->listeners.at(0)->connect();
    EXPECT_TRUE(connection->isCancelled);
}

TEST_F(DiscoveryTest, NothingHappensOnceTheDiscoveryIsGone) {
    discovery->start();
    queue->runUntilIdle();
    auto& firstBrowser = browser();
    discovery->stop();
    discovery.reset();
    queue->runUntilIdle();
    EXPECT_FALSE(firstBrowser.isCancelled) << "the stop job must not run for a discovery that is gone";

    firstBrowser.deliverResults(FakeDnsSdPlatform::results({"Late"}));
    EXPECT_TRUE(delivered.empty());

    auto second = std::make_shared<Discovery>("Desk Two", queue, platform);
    second->start();
    second.reset();
    queue->runUntilIdle();
    EXPECT_EQ(platform->listeners.size(), 1u) << "a start job for a discovery that is gone creates nothing";
}

// start()/stop() from another thread while the queue runs on its own.
TEST(DiscoveryThreadsTest, StartAndStopFromAnyThread) {
    auto queue = std::make_shared<AsioExecutor>("test.discovery");
    auto platform = std::make_shared<FakeDnsSdPlatform>();
    auto discovery = std::make_shared<Discovery>("Desk One", queue, platform);
    std::promise<std::vector<Peer>> received;
    discovery->onPeersChanged = [&](std::vector<Peer> peers) {
        EXPECT_TRUE(queue->isCurrentThread());
        received.set_value(std::move(peers));
    };
    for (int i = 0; i < 50; ++i) {
        discovery->start();
        discovery->stop();
    }
    discovery->start();
    queue->runAndWait([&] {
        EXPECT_EQ(platform->listeners.size(), 51u);
        EXPECT_EQ(platform->browsers.size(), 51u);
        platform->browsers.back()->deliverResults(FakeDnsSdPlatform::results({"Alpha"}));
    });
    EXPECT_THAT(received.get_future().get(), ElementsAre(Peer{"Alpha", "Alpha"}));
    queue->runAndWait([&] { discovery.reset(); });
}

} // namespace
} // namespace hh
