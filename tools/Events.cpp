#include "tools/MonitorEvents.h"

namespace hh::cli {

Json connectionEvent(const ConnectionState& state) {
    std::string text;
    switch (state.kind) {
    case ConnectionState::Kind::starting: text = "starting\u2026"; break;
    case ConnectionState::Kind::connecting: text = "connecting\u2026"; break;
    case ConnectionState::Kind::onAir: text = "on air"; break;
    case ConnectionState::Kind::stopped: text = "stopped"; break;
    case ConnectionState::Kind::networkError: text = "network error: " + state.detail; break;
    case ConnectionState::Kind::audioError: text = "audio error: " + state.detail; break;
    }
    return {{"event", "connection"}, {"state", std::move(text)}};
}

Json peersEvent(const std::vector<Peer>& peers) {
    auto list = Json::array();
    for (const auto& peer : peers) list.push_back({{"id", peer.id}, {"name", peer.name}});
    return {{"event", "peers"}, {"peers", std::move(list)}};
}

} // namespace hh::cli
