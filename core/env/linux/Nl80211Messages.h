#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hh {

// What one NL80211_CMD_NEW_INTERFACE message (the answer to an interface dump)
// says about one wireless interface.
struct WifiInterfaceInfo {
    std::uint32_t ifindex = 0;
    std::uint32_t type = 0;             // an nl80211_iftype
    std::optional<std::string> ssid;    // present while associated

    bool isStation() const;
};

// Parses one whole netlink message (header, generic-netlink header and
// attributes) as the kernel sends it. None for anything that is not a
// well-formed interface message; an SSID longer than 32 bytes is malformed.
std::optional<WifiInterfaceInfo> parseWifiInterfaceMessage(std::span<const std::uint8_t> message);

// The SSID of the associated station-mode interface with the lowest index.
std::optional<std::string> firstAssociatedStationSsid(const std::vector<WifiInterfaceInfo>& interfaces);

} // namespace hh
