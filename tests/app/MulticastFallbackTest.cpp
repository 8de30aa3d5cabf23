#include "app/model/MulticastFallbackProbe.h"
#include "app/model/linux/MulticastGroupCheck.h"

#include "FakePermissionPlatform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <net/if.h>

#include <cerrno>

namespace hh {
namespace {

using Kind = LocalNetworkProbeState::Kind;
using State = LocalNetworkProbeState;
using ::testing::ElementsAre;

struct MulticastFallbackProbeTest : ::testing::Test {
    std::shared_ptr<FakeProbeLog> log = std::make_shared<FakeProbeLog>();
    MulticastAccess access = MulticastAccess::granted;
    int checks = 0;
    std::vector<State> reports;
    std::unique_ptr<MulticastFallbackProbe> probe;

    FakeProbe& browser() { return *log->live.back(); }
    void start() {
        probe = std::make_unique<MulticastFallbackProbe>(std::make_unique<FakeProbe>(log, 1), [this] {
            ++checks;
            return access;
        });
        probe->onState = [this](State s) { reports.push_back(s); };
        probe->start();
    }
};

TEST_F(MulticastFallbackProbeTest, BrowserReportsPassThroughWithoutACheck) {
    start();
    const std::vector<State> states = {{Kind::setup, {}}, {Kind::ready, {}},
                                       {Kind::waiting, State::policyDenied}, {Kind::waiting, -65537},
                                       {Kind::failed, -65537}, {Kind::cancelled, {}}};
    for (const auto& s : states) browser().report(s);
    EXPECT_EQ(reports, states);
    EXPECT_EQ(checks, 0);
}

TEST_F(MulticastFallbackProbeTest, NoDaemonAnswersWithTheMulticastGroupCheck) {
    start();
    browser().report({Kind::waiting, State::daemonNotRunning});
    access = MulticastAccess::denied;
    browser().report({Kind::waiting, State::daemonNotRunning});
    access = MulticastAccess::unavailable;
    browser().report({Kind::failed, State::daemonNotRunning});
    EXPECT_EQ(checks, 3);
    EXPECT_THAT(reports, ElementsAre(State{Kind::ready, {}}, State{Kind::waiting, State::policyDenied},
                                     State{Kind::failed, State::daemonNotRunning}));
}

TEST_F(MulticastFallbackProbeTest, CancelStopsTheBrowserAndReports) {
    start();
    auto handler = browser().onState;
    probe->cancel();
    EXPECT_TRUE(browser().isCancelled);
    handler({Kind::waiting, State::daemonNotRunning});  // a report racing the cancel
    EXPECT_EQ(checks, 0);
    EXPECT_TRUE(reports.empty());
    probe.reset();
    handler({Kind::ready, {}});  // the handler outlives the probe harmlessly
    EXPECT_TRUE(reports.empty());
}

TEST(MulticastGroupCheckTest, DefaultRouteFromProcNetRoute) {
    const std::string table =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t0000A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
        "wlan0\t00000000\t0100A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "down0\t00000000\t0102A8C0\t0002\t0\t0\t1\t00000000\t0\t0\t0\n"
        "bad\t00000000\tzz\tqq\n";
    EXPECT_EQ(defaultRouteInterface(table), "eth0");
    EXPECT_EQ(defaultRouteInterface("Iface\tDestination\n"
                                    "veth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"),
              std::nullopt);
    EXPECT_EQ(defaultRouteInterface(""), std::nullopt);
}

TEST(MulticastGroupCheckTest, PrimaryInterfaceChoice) {
    const unsigned usable = IFF_UP | IFF_RUNNING | IFF_MULTICAST;
    const std::vector<InterfaceCandidate> interfaces = {
        {"lo", IFF_UP | IFF_RUNNING | IFF_LOOPBACK, true},
        {"docker0", IFF_UP | IFF_MULTICAST, true},  // not running
        {"tun0", IFF_UP | IFF_RUNNING, true},       // no multicast
        {"eth1", usable, false},                    // no IPv4
        {"eth2", usable, true},
        {"wlan0", usable, true},
    };
    EXPECT_EQ(choosePrimaryInterface(std::string("wlan0"), interfaces), "wlan0");
    EXPECT_EQ(choosePrimaryInterface(std::string("gone0"), interfaces), "eth2");
    EXPECT_EQ(choosePrimaryInterface(std::nullopt, interfaces), "eth2");
    EXPECT_EQ(choosePrimaryInterface(std::nullopt, {interfaces[0], interfaces[1], interfaces[3]}), "lo");
    EXPECT_EQ(choosePrimaryInterface(std::nullopt, {}), std::nullopt);
}

TEST(MulticastGroupCheckTest, PermissionErrorsDenyOthersAreNoAnswer) {
    EXPECT_EQ(multicastAccessFromError(0), MulticastAccess::granted);
    EXPECT_EQ(multicastAccessFromError(EPERM), MulticastAccess::denied);
    EXPECT_EQ(multicastAccessFromError(EACCES), MulticastAccess::denied);
    EXPECT_EQ(multicastAccessFromError(ENODEV), MulticastAccess::unavailable);
    EXPECT_EQ(multicastAccessFromError(ENOBUFS), MulticastAccess::unavailable);
}

} // namespace
} // namespace hh
