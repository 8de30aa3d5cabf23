#include "app/model/MulticastFallbackProbe.h"
#include "app/model/linux/MulticastGroupCheck.h"

#include "FakePermissionPlatform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <net/if.h>

#include <tuple>

namespace hh {
namespace {

using Kind = LocalNetworkProbeState::Kind;
using State = LocalNetworkProbeState;

struct MulticastFallbackProbeTest : ::testing::Test {
    std::shared_ptr<FakeProbeLog> log = std::make_shared<FakeProbeLog>();
    MulticastAccess access = MulticastAccess::granted;
    int checks = 0;
    std::vector<State> reports;
    std::unique_ptr<MulticastFallbackProbe> probe = std::make_unique<MulticastFallbackProbe>(
        std::make_unique<FakeProbe>(log, 1), [this] { return ++checks, access; });

    MulticastFallbackProbeTest() {
        probe->onState = [this](State s) { reports.push_back(s); };
        probe->start();
    }
    void browserReports(State s) { log->live.back()->report(s); }
};

TEST_F(MulticastFallbackProbeTest, BrowserAnswersPassUnchangedNoDaemonIsAnsweredByTheGroupCheck) {
    std::vector<State> states = {{Kind::setup, {}}, {Kind::ready, {}}, {Kind::waiting, State::policyDenied},
                                 {Kind::failed, -65537}, {Kind::cancelled, {}}};
    for (const auto& s : states) browserReports(s);
    EXPECT_EQ(checks, 0);
    // A daemon that is not running, while waiting or failed: the group check answers when it can.
    for (auto [result, kind, answer] : std::vector<std::tuple<MulticastAccess, Kind, State>>{
             {MulticastAccess::granted, Kind::waiting, {Kind::ready, {}}},
             {MulticastAccess::denied, Kind::failed, {Kind::waiting, State::policyDenied}},
             {MulticastAccess::unavailable, Kind::failed, {Kind::failed, State::daemonNotRunning}}}) {
        access = result;
        browserReports({kind, State::daemonNotRunning});
        states.push_back(answer);
    }
    EXPECT_EQ(reports, states);
}

TEST_F(MulticastFallbackProbeTest, NothingIsReportedAfterCancelEvenIfTheBrowserRaces) {
    auto handler = log->live.back()->onState;
    probe->cancel();
    EXPECT_TRUE(log->live.back()->isCancelled);
    handler({Kind::waiting, State::daemonNotRunning});
    probe.reset();
    handler({Kind::ready, {}});
    EXPECT_EQ(checks, 0);
    EXPECT_TRUE(reports.empty());
}

TEST(MulticastGroupCheckTest, PrimaryInterfaceIsTheDefaultRoutesThenTheFirstUsableThenLoopback) {
    const std::string routes =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t0000A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
        "wlan0\t00000000\t0100A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "down0\t00000000\t0102A8C0\t0002\t0\t0\t1\t00000000\t0\t0\t0\n"
        "bad\t00000000\tzz\tqq\n";
    EXPECT_EQ(defaultRouteInterface(routes), "eth0");  // the lowest metric among routes that are up
    EXPECT_EQ(defaultRouteInterface(routes.substr(0, routes.find("wlan0"))), std::nullopt);

    const unsigned usable = IFF_UP | IFF_RUNNING | IFF_MULTICAST;
    const std::vector<InterfaceCandidate> interfaces = {
        {"lo", IFF_UP | IFF_RUNNING | IFF_LOOPBACK, true}, {"docker0", IFF_UP | IFF_MULTICAST, true},
        {"tun0", IFF_UP | IFF_RUNNING, true},              {"eth1", usable, false},
        {"eth2", usable, true},                            {"wlan0", usable, true}};
    EXPECT_EQ(choosePrimaryInterface(std::string("wlan0"), interfaces), "wlan0");
    EXPECT_EQ(choosePrimaryInterface(std::string("gone0"), interfaces), "eth2");
    EXPECT_EQ(choosePrimaryInterface(std::nullopt, {interfaces[0], interfaces[1], interfaces[3]}), "lo");
    EXPECT_EQ(choosePrimaryInterface(std::nullopt, {}), std::nullopt);
}

} // namespace
} // namespace hh
