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

} // namespace hh::cli
