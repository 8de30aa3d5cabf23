#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace hh {

// One instance found on the network. Discovery sets both fields to the
// advertised service name; `id` identifies the entry, `name` is shown.
struct Peer {
    // Whether its packets reach this computer; the controller fills it in.
    enum class Reach {
        heard,          // heard recently, or too early to tell
        notHeard,       // listed, but none of its packets arrive here
        notResponding,  // silent for so long that it is probably gone
    };

    std::string id;
    std::string name;
    Reach reach = Reach::heard;
    // Listed only because its beacons arrive (no DNS-SD daemon answers here).
    bool isBeaconOnly = false;

    bool operator==(const Peer&) const = default;
};

} // namespace hh

template <>
struct std::hash<hh::Peer> {
    std::size_t operator()(const hh::Peer& peer) const noexcept {
        const std::size_t h = std::hash<std::string>{}(peer.id);
        return h ^ (std::hash<std::string>{}(peer.name) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2));
    }
};
