#include "core/exec/AsioExecutor.h"
#include "support/ManualExecutor.h"
#include "core/net/Discovery.h"
#include "support/FakeDnsSdPlatform.h"
#include "support/LogCapture.h"

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

TEST_F(DiscoveryTest, StartAdvertisesThenBrowsesOnTheQueueAndTwiceCreatesNothingNew) {
    discovery->start();
    EXPECT_TRUE(platform->log.empty()) << "start() only submits a job";
    start();
    start();
    EXPECT_EQ(platform->log, (Strings{"make listener 1", "start listener 1", "make browser 1", "start browser 1"}));
    EXPECT_EQ(platform->listeners.at(0)->service->name, "Desk One");
    EXPECT_TRUE(delivered.empty());
    // Incoming connections are closed at once.
    EXPECT_TRUE(platform->listeners[0]->connect()->isCancelled);
}

TEST_F(DiscoveryTest, ResultsBecomePeersInReportOrderRebuiltEachTime) {
    start();
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

TEST_F(DiscoveryTest, StopThenStartCancelsTheOldObjectsBeforeMakingNewOnes) {
    discovery->stop();  // idle: nothing to do
    start();
    report({"Alpha"});
    platform->log.clear();
    discovery->stop();
    start();
    EXPECT_EQ(platform->log, (Strings{"cancel listener 1", "cancel browser 1", "make listener 2", "start listener 2",
                                      "make browser 2", "start browser 2"}));
    EXPECT_EQ(delivered.size(), 1u) << "no final empty list on stop";
    report({"Fresh"}, 1);
    EXPECT_THAT(delivered.back(), ElementsAre(Peer{"Fresh", "Fresh"}));
}

TEST_F(DiscoveryTest, ListenerFailureStillBrowsesAndALaterStartRetries) {
    platform->isListenerCreationFailing = true;
    start();
    EXPECT_TRUE(platform->listeners.empty());
    report({"Alpha"});
    EXPECT_EQ(delivered.size(), 1u);
    platform->isListenerCreationFailing = false;
    start();
    EXPECT_EQ(platform->listeners.size(), 1u);
    EXPECT_EQ(platform->browsers.size(), 1u) << "the running browser is kept";
}

TEST_F(DiscoveryTest, RenameAdvertisesAgainUnderTheNewNameAndKeepsBrowsing) {
    discovery->setDisplayName("Early");  // before start: only the name changes
    queue->runUntilIdle();
    EXPECT_TRUE(platform->log.empty());
    start();
    platform->log.clear();
    discovery->setDisplayName("Early");  // the same name: nothing to redo
    discovery->setDisplayName("Desk Two");
    queue->runUntilIdle();
    EXPECT_EQ(platform->log, (Strings{"cancel listener 1", "make listener 2", "start listener 2"}));
    EXPECT_EQ(platform->listeners.at(0)->service->name, "Early");
    EXPECT_EQ(platform->listeners.at(1)->service->name, "Desk Two");
    EXPECT_EQ(platform->browsers.size(), 1u);
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

// start()/stop() from another thread while the queue runs on its own.
TEST(DiscoveryThreadsTest, StartAndStopFromAnyThread) {
    auto queue = std::make_shared<AsioExecutor>("test.discovery");
    auto platform = std::make_shared<FakeDnsSdPlatform>(queue);
    auto discovery = std::make_shared<Discovery>("Desk One", platform);
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
        EXPECT_EQ(platform->browsers.size(), 51u);
        platform->browsers.back()->deliverResults(FakeDnsSdPlatform::results({"Alpha"}));
    });
    EXPECT_THAT(received.get_future().get(), ElementsAre(Peer{"Alpha", "Alpha"}));
    queue->runAndWait([&] { discovery.reset(); });
}

// The browser's state reports reach the log once per failure, not once per report.
TEST_F(DiscoveryTest, BrowserWaitingIsLoggedOnceAndAgainWhenItResumes) {
    LogCapture log;
    start();
    const DnsSdBrowserState waiting{DnsSdBrowserState::Kind::waiting,
                                    DnsSdError{DnsSdErrorCode::serviceNotRunning, "Daemon not running"}};
    auto reworded = waiting;
    reworded.error->description = "Daemon connection failed";
    for (const auto& state : {waiting, DnsSdBrowserState{}, reworded, DnsSdBrowserState{DnsSdBrowserState::Kind::ready, {}},
                              DnsSdBrowserState{DnsSdBrowserState::Kind::ready, {}}})
        browser().deliverState(state);
    queue->runUntilIdle();
    EXPECT_THAT(log.lines, ElementsAre("discovery: browsing for peers: waiting: the DNS-SD daemon is not running",
                                       "discovery: browsing for peers: working again"));
}

} // namespace
} // namespace hh
