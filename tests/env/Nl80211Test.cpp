#include "core/env/linux/Nl80211Messages.h"
#include "core/env/linux/Nl80211WifiNameSource.h"

#include <linux/nl80211.h>

#include <gtest/gtest.h>

namespace hh {
namespace {

// An interface-dump answer for an associated station, laid out as the kernel
// sends it: ifindex 3, "wlan0", wiphy 0, station, wdev, MAC, generation,
// 4addr, tx power, and the SSID "Café 2.4" (9 bytes, padded).
const std::vector<std::uint8_t> associatedStation = {
    0x78, 0x00, 0x00, 0x00, 0x1c, 0x00, 0x02, 0x00, 0xb2, 0xa1, 0xf0, 0x65,
    0x34, 0x12, 0x00, 0x00, 0x07, 0x01, 0x00, 0x00, 0x08, 0x00, 0x03, 0x00,
    0x03, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x04, 0x00, 0x77, 0x6c, 0x61, 0x6e,
    0x30, 0x00, 0x00, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x08, 0x00, 0x05, 0x00, 0x02, 0x00, 0x00, 0x00, 0x0c, 0x00, 0x99, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x06, 0x00,
    0xa0, 0xc5, 0x89, 0x12, 0x34, 0x56, 0x00, 0x00, 0x08, 0x00, 0x2e, 0x00,
    0x05, 0x00, 0x00, 0x00, 0x05, 0x00, 0x53, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x08, 0x00, 0x62, 0x00, 0xd0, 0x07, 0x00, 0x00, 0x0d, 0x00, 0x34, 0x00,
    0x43, 0x61, 0x66, 0xc3, 0xa9, 0x20, 0x32, 0x2e, 0x34, 0x00, 0x00, 0x00,
};
constexpr std::uint8_t ssidAttribute = 104;  // where the SSID's attribute starts

TEST(Nl80211MessagesTest, ParsesTheKernelsInterfaceMessage) {
    auto info = parseWifiInterfaceMessage(associatedStation);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->ifindex, 3u);
    EXPECT_TRUE(info->isStation());
    EXPECT_EQ(info->ssid, "Caf\xc3\xa9 2.4");

    // The same station not associated: the kernel leaves the SSID out.
    std::vector<std::uint8_t> unassociated(associatedStation.begin(), associatedStation.begin() + ssidAttribute);
    unassociated[0] = ssidAttribute;
    info = parseWifiInterfaceMessage(unassociated);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->ssid, std::nullopt);
}

TEST(Nl80211MessagesTest, RejectsMalformedMessages) {
    EXPECT_FALSE(parseWifiInterfaceMessage({}));
    for (std::size_t cut = 1; cut < associatedStation.size(); cut += 5)
        EXPECT_FALSE(parseWifiInterfaceMessage({associatedStation.data(), cut})) << cut;
    auto overlong = associatedStation;
    overlong[0] = 0xf0;  // claims more than there is
    EXPECT_FALSE(parseWifiInterfaceMessage(overlong));
    auto badAttribute = associatedStation;
    badAttribute[20] = 0xff;  // the first attribute (the index) runs past the end
    EXPECT_FALSE(parseWifiInterfaceMessage(badAttribute));
}

TEST(Nl80211MessagesTest, PicksTheAssociatedStationWithTheLowestIndex) {
    EXPECT_EQ(firstAssociatedStationSsid({{7, NL80211_IFTYPE_STATION, "Second"},
                                          {2, NL80211_IFTYPE_AP, "MyHotspot"},
                                          {3, NL80211_IFTYPE_STATION, std::nullopt},
                                          {5, NL80211_IFTYPE_STATION, "First"}}),
              "First");
    EXPECT_EQ(firstAssociatedStationSsid({{2, NL80211_IFTYPE_AP, "MyHotspot"}}), std::nullopt);
}

// This machine has no Wi-Fi: none every time, and under the sanitizers no leak.
TEST(Nl80211WifiNameSourceTest, MachineWithoutWifiGivesNone) {
    Nl80211WifiNameSource source;
    for (int i = 0; i < 20; ++i) EXPECT_EQ(source.currentSsid(), std::nullopt);
}

} // namespace
} // namespace hh
