#include "core/env/linux/Nl80211Messages.h"

#include <linux/nl80211.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace hh {

bool WifiInterfaceInfo::isStation() const {
    return type == NL80211_IFTYPE_STATION;
}

std::optional<WifiInterfaceInfo> parseWifiInterfaceMessage(std::span<const std::uint8_t> message) {
    if (message.size() < NLMSG_HDRLEN) return std::nullopt;
    // Netlink parsing reads headers in place: give it an aligned copy.
    auto aligned = std::make_unique<std::uint32_t[]>((message.size() + 3) / 4);
    std::memcpy(aligned.get(), message.data(), message.size());
    auto* header = reinterpret_cast<nlmsghdr*>(aligned.get());
    if (!nlmsg_ok(header, static_cast<int>(message.size()))) return std::nullopt;
    if (!genlmsg_valid_hdr(header, 0)) return std::nullopt;
    auto* genl = static_cast<genlmsghdr*>(nlmsg_data(header));
    if (genl->cmd != NL80211_CMD_NEW_INTERFACE) return std::nullopt;

    nla_policy policy[NL80211_ATTR_MAX + 1] = {};
    policy[NL80211_ATTR_IFINDEX].type = NLA_U32;
    policy[NL80211_ATTR_IFTYPE].type = NLA_U32;
    policy[NL80211_ATTR_SSID].type = NLA_UNSPEC;
    nlattr* attrs[NL80211_ATTR_MAX + 1] = {};
    if (genlmsg_parse(header, 0, attrs, NL80211_ATTR_MAX, policy) < 0) return std::nullopt;
    if (!attrs[NL80211_ATTR_IFINDEX] || !attrs[NL80211_ATTR_IFTYPE]) return std::nullopt;

    WifiInterfaceInfo info;
    info.ifindex = nla_get_u32(attrs[NL80211_ATTR_IFINDEX]);
    info.type = nla_get_u32(attrs[NL80211_ATTR_IFTYPE]);
    if (const nlattr* ssid = attrs[NL80211_ATTR_SSID]) {
        const int length = nla_len(ssid);
        if (length > 32) return std::nullopt;
        info.ssid.emplace(static_cast<const char*>(nla_data(ssid)), static_cast<std::size_t>(length));
    }
    return info;
}

std::optional<std::string> firstAssociatedStationSsid(const std::vector<WifiInterfaceInfo>& interfaces) {
    const WifiInterfaceInfo* best = nullptr;
    for (const auto& i : interfaces) {
        if (!i.isStation() || !i.ssid) continue;
        if (!best || i.ifindex < best->ifindex) best = &i;
    }
    if (!best) return std::nullopt;
    return best->ssid;
}

} // namespace hh
