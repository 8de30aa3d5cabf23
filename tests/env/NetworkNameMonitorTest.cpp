#include "core/env/NetworkNameMonitor.h"
#include "core/exec/ManualExecutor.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace hh {
namespace {

struct FakeWifi final : WifiNameSource {
    std::shared_ptr<std::optional<std::string>> name = std::make_shared<std::optional<std::string>>();
    std::shared_ptr<int> reads = std::make_shared<int>(0);
    std::optional<std::string> currentSsid() override {
        ++*reads;
        return *name;
    }
};

// The platform answers only when asked; a grant arrives later as a change.
struct FakeLocation final : LocationAuthorizationSource {
    std::shared_ptr<LocationAuthorization> state;
    std::shared_ptr<int> requests = std::make_shared<int>(0);
    explicit FakeLocation(LocationAuthorization s) : state(std::make_shared<LocationAuthorization>(s)) {}
    LocationAuthorization status() const override { return *state; }
    void requestAuthorization() override { ++*requests; }
};

// The Wi-Fi name as a platform that hides it without authorization reports it.
struct GatedWifi final : WifiNameSource {
    std::shared_ptr<LocationAuthorization> authorization;
    std::string name;
    std::optional<std::string> currentSsid() override {
        if (*authorization != LocationAuthorization::authorized) return std::nullopt;
        return name;
    }
};

struct Fixture : ::testing::Test {
    ManualExecutor executor;
    int notifications = 0;

    std::shared_ptr<NetworkNameMonitor> make(std::unique_ptr<WifiNameSource> wifi,
                                             std::unique_ptr<LocationAuthorizationSource> location) {
        auto monitor = std::make_shared<NetworkNameMonitor>(executor, std::move(wifi), std::move(location));
        monitor->onChange = [this] { ++notifications; };
        monitor->start();
        return monitor;
    }
};

using NetworkNameMonitorTest = Fixture;

TEST_F(NetworkNameMonitorTest, NoWifiGivesNoneAtStartAndForever) {
    auto monitor = make(std::make_unique<FakeWifi>(),
                        std::make_unique<FakeLocation>(LocationAuthorization::authorized));
    EXPECT_EQ(monitor->ssid(), std::nullopt);
    EXPECT_EQ(notifications, 1);
    executor.advance(std::chrono::seconds(35));
    EXPECT_EQ(monitor->ssid(), std::nullopt);
    EXPECT_EQ(notifications, 4);
}

TEST_F(NetworkNameMonitorTest, ReadsAtStartThenEveryTenSecondsNotifyingEachTimeEvenUnchanged) {
    auto wifi = std::make_unique<FakeWifi>();
    auto name = wifi->name;
    auto reads = wifi->reads;
    *name = "Office";
    auto monitor = make(std::move(wifi), std::make_unique<FakeLocation>(LocationAuthorization::authorized));
    EXPECT_EQ(monitor->ssid(), "Office");
    EXPECT_EQ(*reads, 1);

    executor.advance(std::chrono::milliseconds(9999));
    EXPECT_EQ(*reads, 1);
    executor.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(*reads, 2);
    EXPECT_EQ(notifications, 2);

    // Another network shows within one interval; names are kept byte for byte.
    *name = std::string("\xff raw ", 6);
    executor.advance(std::chrono::seconds(10));
    EXPECT_EQ(monitor->ssid(), std::string("\xff raw ", 6));
    *name = "";
    executor.advance(std::chrono::seconds(10));
    EXPECT_EQ(monitor->ssid(), std::string());
    EXPECT_EQ(notifications, 4);
}

TEST_F(NetworkNameMonitorTest, UndecidedAuthorizationIsRequestedOnceAndAGrantRefreshesWithoutWaitingForTheTick) {
    auto location = std::make_unique<FakeLocation>(LocationAuthorization::notDetermined);
    auto state = location->state;
    auto requests = location->requests;
    auto* locationPtr = location.get();
    auto wifi = std::make_unique<GatedWifi>();
    wifi->authorization = state;
    wifi->name = "Home";

    auto monitor = make(std::move(wifi), std::move(location));
    EXPECT_EQ(*requests, 1);
    EXPECT_EQ(monitor->ssid(), std::nullopt);

    // The user says yes; the platform reports the change from another thread.
    *state = LocationAuthorization::authorized;
    locationPtr->onAuthorizationChange();
    executor.runUntilIdle();
    EXPECT_EQ(monitor->ssid(), "Home");
    EXPECT_EQ(notifications, 2);
    EXPECT_EQ(*requests, 1);
}

TEST_F(NetworkNameMonitorTest, DecidedAuthorizationIsNeverRequested) {
    for (auto decided : {LocationAuthorization::denied, LocationAuthorization::restricted,
                         LocationAuthorization::authorized}) {
        auto location = std::make_unique<FakeLocation>(decided);
        auto requests = location->requests;
        auto wifi = std::make_unique<GatedWifi>();
        wifi->authorization = location->state;
        wifi->name = "Home";
        auto monitor = make(std::move(wifi), std::move(location));
        executor.advance(std::chrono::seconds(20));
        EXPECT_EQ(*requests, 0);
        EXPECT_EQ(monitor->ssid().has_value(), decided == LocationAuthorization::authorized);
    }
}

TEST_F(NetworkNameMonitorTest, NothingHappensOnceTheMonitorIsGone) {
    auto location = std::make_unique<FakeLocation>(LocationAuthorization::authorized);
    auto* locationPtr = location.get();
    auto wifi = std::make_unique<FakeWifi>();
    auto reads = wifi->reads;
    auto monitor = make(std::move(wifi), std::move(location));
    auto changed = locationPtr->onAuthorizationChange;
    changed();  // a change posted just before the owner lets go
    monitor.reset();
    changed();
    executor.advance(std::chrono::seconds(30));
    EXPECT_EQ(*reads, 1);
    EXPECT_EQ(executor.pendingCount(), 0u);
}

TEST_F(NetworkNameMonitorTest, StartingTwiceChangesNothing) {
    auto wifi = std::make_unique<FakeWifi>();
    auto reads = wifi->reads;
    auto monitor = make(std::move(wifi), std::make_unique<FakeLocation>(LocationAuthorization::authorized));
    monitor->start();
    executor.advance(std::chrono::seconds(10));
    EXPECT_EQ(*reads, 2);
}

} // namespace
} // namespace hh
