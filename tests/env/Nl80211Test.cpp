#include "core/env/linux/Nl80211Messages.h"
#include "core/env/linux/Nl80211WifiNameSource.h"

#include <linux/nl80211.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace hh {
namespace {

// An interface-dump answer for an associated station, laid out as the kernel
// sends it: ifindex 3, "wlan0", wiphy 0, station, wdev, MAC, generation,
// 4addr, tx power, and a UTF-8 SSID "Café 2.4" (9 bytes, padded).
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

// Builds interface messages for the variations.
struct MessageBuilder {
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(20, 0);
    explicit MessageBuilder(std::uint8_t cmd = NL80211_CMD_NEW_INTERFACE) {
        bytes[4] = 0x1c;
        bytes[16] = cmd;
        bytes[17] = 1;
    }
    MessageBuilder& attr(std::uint16_t type, const void* data, std::size_t size) {
        const auto length = static_cast<std::uint16_t>(4 + size);
        const std::uint8_t header[4] = {std::uint8_t(length & 0xff), std::uint8_t(length >> 8),
                                        std::uint8_t(type & 0xff), std::uint8_t(type >> 8)};
        bytes.insert(bytes.end(), header, header + 4);
        const auto* p = static_cast<const std::uint8_t*>(data);
        bytes.insert(bytes.end(), p, p + size);
        bytes.resize((bytes.size() + 3) & ~std::size_t(3), 0);
        return *this;
    }
    MessageBuilder& u32(std::uint16_t type, std::uint32_t v) { return attr(type, &v, 4); }
    MessageBuilder& text(std::uint16_t type, const std::string& s) { return attr(type, s.data(), s.size()); }
    std::vector<std::uint8_t> build() {
        const auto length = static_cast<std::uint32_t>(bytes.size());
        std::memcpy(bytes.data(), &length, 4);
        return bytes;
    }
};

TEST(Nl80211MessagesTest, ParsesAKernelInterfaceMessage) {
    auto info = parseWifiInterfaceMessage(associatedStation);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->ifindex, 3u);
    EXPECT_TRUE(info->isStation());
    EXPECT_EQ(info->ssid, "Caf\xc3\xa9 2.4");
}

TEST(Nl80211MessagesTest, SsidIsOptionalAndKeptByteForByte) {
    auto notAssociated = parseWifiInterfaceMessage(
        MessageBuilder().u32(NL80211_ATTR_IFINDEX, 4).u32(NL80211_ATTR_IFTYPE, NL80211_IFTYPE_STATION).build());
    ASSERT_TRUE(notAssociated);
    EXPECT_EQ(notAssociated->ssid, std::nullopt);

    const std::string odd("\0\xfe" "a", 3);
    auto raw = parseWifiInterfaceMessage(
        MessageBuilder().u32(NL80211_ATTR_IFINDEX, 4).u32(NL80211_ATTR_IFTYPE, 2).text(NL80211_ATTR_SSID, odd).build());
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->ssid, odd);

    auto longest = parseWifiInterfaceMessage(MessageBuilder().u32(NL80211_ATTR_IFINDEX, 4).u32(NL80211_ATTR_IFTYPE, 2)
                                                 .text(NL80211_ATTR_SSID, std::string(32, 'x')).build());
    ASSERT_TRUE(longest);
    EXPECT_EQ(longest->ssid->size(), 32u);
}

TEST(Nl80211MessagesTest, RejectsMalformedMessages) {
    EXPECT_FALSE(parseWifiInterfaceMessage({}));
    // Cut anywhere: the header's length no longer fits.
    for (std::size_t cut = 1; cut < associatedStation.size(); cut += 7) {
        std::vector<std::uint8_t> truncated(associatedStation.begin(), associatedStation.begin() + cut);
        EXPECT_FALSE(parseWifiInterfaceMessage(truncated)) << cut;
    }
    // A header claiming more than there is.
    auto overlong = associatedStation;
    overlong[0] = 0xf0;
    EXPECT_FALSE(parseWifiInterfaceMessage(overlong));
    // An attribute running past the message's end.
    auto badAttr = MessageBuilder().u32(NL80211_ATTR_IFINDEX, 4).u32(NL80211_ATTR_IFTYPE, 2).build();
    badAttr[20] = 0x40;
    EXPECT_FALSE(parseWifiInterfaceMessage(badAttr));
    // Another command, missing index or type, an SSID beyond 32 bytes, a short u32.
    EXPECT_FALSE(parseWifiInterfaceMessage(
        MessageBuilder(NL80211_CMD_DEL_INTERFACE).u32(NL80211_ATTR_IFINDEX, 4).u32(NL80211_ATTR_IFTYPE, 2).build()));
    EXPECT_FALSE(parseWifiInterfaceMessage(MessageBuilder().u32(NL80211_ATTR_IFTYPE, 2).build()));
    EXPECT_FALSE(parseWifiInterfaceMessage(MessageBuilder().u32(NL80211_ATTR_IFINDEX, 4).build()));
    EXPECT_FALSE(parseWifiInterfaceMessage(MessageBuilder().u32(NL80211_ATTR_IFINDEX, 4).u32(NL80211_ATTR_IFTYPE, 2)
                                               .text(NL80211_ATTR_SSID, std::string(33, 'x')).build()));
    EXPECT_FALSE(parseWifiInterfaceMessage(
        MessageBuilder().text(NL80211_ATTR_IFINDEX, "ab").u32(NL80211_ATTR_IFTYPE, 2).build()));
}

TEST(Nl80211MessagesTest, PicksTheAssociatedStationWithTheLowestIndex) {
    std::vector<WifiInterfaceInfo> interfaces = {
        {7, NL80211_IFTYPE_STATION, "Second"},
        {2, NL80211_IFTYPE_AP, "MyHotspot"},
        {3, NL80211_IFTYPE_STATION, std::nullopt},
        {5, NL80211_IFTYPE_STATION, "First"},
    };
    EXPECT_EQ(firstAssociatedStationSsid(interfaces), "First");
    EXPECT_EQ(firstAssociatedStationSsid({{2, NL80211_IFTYPE_AP, "MyHotspot"}}), std::nullopt);
    EXPECT_EQ(firstAssociatedStationSsid({}), std::nullopt);
}

// This machine has no Wi-Fi: the real reader answers none, every time, and
// (under the sanitizers) leaks nothing across repeated reads.
TEST(Nl80211WifiNameSourceTest, MachineWithoutWifiGivesNone) {
    Nl80211WifiNameSource source;
    for (int i = 0; i < 20; ++i) EXPECT_EQ(source.currentSsid(), std::nullopt);
}

} // namespace
} // namespace hh
