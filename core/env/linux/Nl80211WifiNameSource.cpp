#include "core/env/linux/Nl80211WifiNameSource.h"

#include "core/env/linux/Nl80211Messages.h"

#include <linux/nl80211.h>
#include <netlink/genl/ctrl.h>
#include <netlink/genl/genl.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>

#include <vector>

namespace hh {

Nl80211WifiNameSource::Nl80211WifiNameSource() = default;

Nl80211WifiNameSource::~Nl80211WifiNameSource() {
    disconnect();
}

bool Nl80211WifiNameSource::connect() {
    if (socket_) return true;
    socket_ = nl_socket_alloc();
    if (!socket_) return false;
    // The family is looked up on every connection: cfg80211 may be loaded, or a
    // Wi-Fi adapter plugged in, after we started.
    if (genl_connect(socket_) < 0 || (family_ = genl_ctrl_resolve(socket_, "nl80211")) < 0) {
        disconnect();
        return false;
    }
    return true;
}

void Nl80211WifiNameSource::disconnect() {
    if (socket_) nl_socket_free(socket_);
    socket_ = nullptr;
    family_ = -1;
}

namespace {

int collectInterface(nl_msg* msg, void* arg) {
    auto* interfaces = static_cast<std::vector<WifiInterfaceInfo>*>(arg);
    nlmsghdr* header = nlmsg_hdr(msg);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(header);
    if (auto info = parseWifiInterfaceMessage({bytes, header->nlmsg_len})) interfaces->push_back(std::move(*info));
    return NL_OK;
}

} // namespace

std::optional<std::string> Nl80211WifiNameSource::currentSsid() {
    if (!connect()) return std::nullopt;

    std::vector<WifiInterfaceInfo> interfaces;
    nl_msg* request = nlmsg_alloc();
    if (!request) return std::nullopt;
    bool isOk = genlmsg_put(request, NL_AUTO_PORT, NL_AUTO_SEQ, family_, 0, NLM_F_DUMP,
                            NL80211_CMD_GET_INTERFACE, 0) != nullptr &&
                nl_socket_modify_cb(socket_, NL_CB_VALID, NL_CB_CUSTOM, collectInterface, &interfaces) >= 0 &&
                nl_send_auto(socket_, request) >= 0 && nl_recvmsgs_default(socket_) >= 0;
    nlmsg_free(request);
    if (!isOk) {
        // A half-read dump would confuse the next request: start afresh then.
        disconnect();
        return std::nullopt;
    }
    return firstAssociatedStationSsid(interfaces);
}

} // namespace hh
