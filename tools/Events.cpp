#include "tools/MonitorEvents.h"

namespace hh::cli {

Json connectionEvent(const ConnectionState& state) {
    std::string text;
    switch (state.kind) {
    case ConnectionState::Kind::starting: text = "starting\u2026"; break;
    case ConnectionState::Kind::connecting: text = "connecting\u2026"; break;
    case ConnectionState::Kind::ready: text = "Ready"; break;
    case ConnectionState::Kind::stopped: text = "stopped"; break;
    case ConnectionState::Kind::noNetwork: text = "No network connection"; break;
    case ConnectionState::Kind::networkError: text = "network error: " + state.detail; break;
    case ConnectionState::Kind::audioError: text = "audio error: " + state.detail; break;
    }
    return {{"event", "connection"}, {"state", std::move(text)}};
}

Json peersEvent(const std::vector<Peer>& peers) {
    auto list = Json::array();
    for (const auto& peer : peers) {
        Json entry{{"id", peer.id},
                   {"name", peer.name},
                   {"heard", peer.reach == Peer::Reach::heard},
                   {"responding", peer.reach != Peer::Reach::notResponding},
                   {"source", peer.isBeaconOnly ? "beacons" : "dns-sd"},
                   {"address", peer.address}};
        if (peer.talking != Peer::Talking::no) entry["talking"] = peer.talking == Peer::Talking::toUs ? "to us" : "to everyone";
        list.push_back(std::move(entry));
    }
    return {{"event", "peers"}, {"peers", std::move(list)}};
}

Json inboundEvent(bool isBlocked) { return {{"event", "inbound"}, {"blocked", isBlocked}}; }

} // namespace hh::cli

namespace hh::cli {

std::string talkFailureText(const TalkFailure& failure) {
    switch (failure.kind) {
    case TalkFailure::Kind::audio: return "audio error: " + failure.detail;
    case TalkFailure::Kind::noMicrophone: return "no microphone";
    case TalkFailure::Kind::noNetwork: return "No network connection";
    case TalkFailure::Kind::notConnected: return "not connected";
    }
    return {};
}

} // namespace hh::cli
