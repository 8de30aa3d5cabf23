#include "core/env/NetworkNameMonitor.h"
#include "support/ManualExecutor.h"

#include <gtest/gtest.h>

namespace hh {
namespace {

using std::chrono::seconds;

// What the fake platform knows; the name is hidden until authorized, as on a
// platform that requires location authorization.
struct FakePlatform {
    std::optional<std::string> name;
    LocationAuthorization authorization = LocationAuthorization::authorized;
    int reads = 0, requests = 0;
    std::function<void()>* onAuthorizationChange = nullptr;
};

struct FakeWifi final : WifiNameSource {
    explicit FakeWifi(std::shared_ptr<FakePlatform> p) : p(std::move(p)) {}
    std::shared_ptr<FakePlatform> p;
    std::optional<std::string> currentSsid() override {
        ++p->reads;
        return p->authorization == LocationAuthorization::authorized ? p->name : std::nullopt;
    }
};

struct FakeLocation final : LocationAuthorizationSource {
    explicit FakeLocation(std::shared_ptr<FakePlatform> p) : p(std::move(p)) {}
    std::shared_ptr<FakePlatform> p;
    LocationAuthorization status() const override { return p->authorization; }
    void requestAuthorization() override { ++p->requests; }
};

struct NetworkNameMonitorTest : ::testing::Test {
    ManualExecutor executor;
    std::shared_ptr<FakePlatform> platform = std::make_shared<FakePlatform>();
    int notifications = 0;

    std::shared_ptr<NetworkNameMonitor> make() {
        auto location = std::make_unique<FakeLocation>(platform);
        platform->onAuthorizationChange = &location->onAuthorizationChange;
        auto monitor = std::make_shared<NetworkNameMonitor>(executor, std::make_unique<FakeWifi>(platform), std::move(location));
        monitor->onChange = [this] { ++notifications; };
        monitor->start();
        return monitor;
    }
};

TEST_F(NetworkNameMonitorTest, NoWifiIsNoneEveryTickNotifiesAndANewNameShowsWithinOneInterval) {
    auto monitor = make();
    EXPECT_EQ(monitor->ssid(), std::nullopt);
    EXPECT_EQ(notifications, 1);
    executor.advance(seconds(9));
    EXPECT_EQ(notifications, 1);
    executor.advance(seconds(26));
    EXPECT_EQ(notifications, 4);
    platform->name = "Office";
    executor.advance(seconds(10));
    EXPECT_EQ(monitor->ssid(), "Office");
}

TEST_F(NetworkNameMonitorTest, UndecidedIsRequestedOnceAndTheGrantRefreshesBeforeTheTick) {
    platform->name = "Home";
    platform->authorization = LocationAuthorization::notDetermined;
    auto monitor = make();
    EXPECT_EQ(platform->requests, 1);
    EXPECT_EQ(monitor->ssid(), std::nullopt);

    platform->authorization = LocationAuthorization::authorized;
    (*platform->onAuthorizationChange)();
    executor.runUntilIdle();
    EXPECT_EQ(monitor->ssid(), "Home");
    EXPECT_EQ(platform->requests, 1);
}

TEST_F(NetworkNameMonitorTest, NothingRunsOnceTheMonitorIsGone) {
    auto monitor = make();
    auto changed = *platform->onAuthorizationChange;
    changed();  // posted just before the owner lets go
    monitor.reset();
    changed();
    executor.advance(seconds(30));
    EXPECT_EQ(platform->reads, 1);
    EXPECT_EQ(executor.pendingCount(), 0u);
}

} // namespace
} // namespace hh
