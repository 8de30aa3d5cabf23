// The one choice of the primary interface (transport and permission check) and
// the one display name, on constructed route tables and machine-info files.
#include "core/env/linux/ComputerName.h"
#include "core/net/linux/NetworkInterfaces.h"

#include <gtest/gtest.h>

#include <net/if.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace hh {
namespace {

using namespace linuxnet;

TEST(PrimaryInterface, LowestMetricDefaultRouteThenTheFirstUsableNeverLoopback) {
    const std::string routes =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t0000A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
        "wlan0\t00000000\t0100A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
        "bad\t00000000\t0\tqq\t0\t0\tzz\t00000000\t0\t0\t0\n"
        "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "down0\t00000000\t0102A8C0\t0002\t0\t0\t1\t00000000\t0\t0\t0\n"
        "short\t00000000\tzz\n";
    EXPECT_EQ(defaultRouteInterface(routes), "eth0");  // not the first one listed, nor the one that is down
    EXPECT_EQ(defaultRouteInterface(routes.substr(0, routes.find("wlan0"))), std::nullopt);

    const unsigned usable = IFF_UP | IFF_RUNNING | IFF_MULTICAST;
    const std::vector<InterfaceCandidate> interfaces = {
        {"lo", IFF_UP | IFF_RUNNING | IFF_LOOPBACK, true}, {"docker0", IFF_UP | IFF_MULTICAST, true},
        {"tun0", IFF_UP | IFF_RUNNING, true},              {"eth1", usable, false},
        {"eth2", usable, true},                            {"wlan0", usable, true}};
    EXPECT_EQ(choosePrimaryInterface(std::string("wlan0"), interfaces), "wlan0");
    EXPECT_EQ(choosePrimaryInterface(std::string("gone0"), interfaces), "eth2");
    // A cable pulled: the default route's interface is up but not running.
    EXPECT_EQ(choosePrimaryInterface(std::string("eth0"), {{"eth0", IFF_UP | IFF_MULTICAST, true}, interfaces[5]}), "wlan0");
    // Nothing usable but loopback is no network: joined on lo we would hear only ourselves.
    EXPECT_EQ(choosePrimaryInterface(std::string("lo"), {interfaces[0], interfaces[1], interfaces[3]}), std::nullopt);
    EXPECT_EQ(choosePrimaryInterface(std::nullopt, {}), std::nullopt);
}

TEST(ComputerName, PrettyHostNameWithShellQuotingThenTheHostName) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"PRETTY_HOSTNAME=\"Ada's Laptop\"\nCHASSIS=laptop\n", "Ada's Laptop"},
        {"PRETTY_HOSTNAME='Kitchen \\ PC'", "Kitchen \\ PC"},
        {"PRETTY_HOSTNAME=\"Say \\\"hi\\\" \\\\o/ \\n\"", "Say \"hi\" \\o/ \\n"},
        {"PRETTY_HOSTNAME=Desk\\ One  ", "Desk One"},
        {"  PRETTY_HOSTNAME=first\nPRETTY_HOSTNAME=\"Z\u00fcrich\"", "Z\u00fcrich"},
        {"# PRETTY_HOSTNAME=no\nCHASSIS=vm", ""},
        {"PRETTY_HOSTNAME=\"\"", ""},
    };
    for (const auto& [text, name] : cases) EXPECT_EQ(prettyHostNameFromMachineInfo(text), name) << text;

    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    const std::string path = testing::TempDir() + "machine-info-" + std::to_string(getpid());
    std::ofstream(path) << "PRETTY_HOSTNAME=\"Front \\\"Desk\\\"\"\n";
    EXPECT_EQ(computerDisplayName(path.c_str()), "Front \"Desk\"");
    std::ofstream(path) << "CHASSIS=vm\n";
    EXPECT_EQ(computerDisplayName(path.c_str()), host);
    std::remove(path.c_str());
    EXPECT_EQ(computerDisplayName("/nonexistent/machine-info"), host);
}

} // namespace
} // namespace hh
