#pragma once

#include "core/net/Peer.h"
#include "core/net/Transport.h"
#include "tools/Cli.h"

namespace hh::cli {

// The JSON lines `monitor` prints. A name is included only when the payload is
// valid UTF-8, so the line stays valid JSON whatever arrives.
Json stateEvent(const Transport::State& state);
Json packetEvent(const WalkiePacket& packet);

// The peers and inbound events of `peers` and `listen`: names exactly as received.
Json peersEvent(const std::vector<Peer>& peers);
Json inboundEvent(bool isBlocked);

} // namespace hh::cli
