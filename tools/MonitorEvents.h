#pragma once

#include "core/net/Peer.h"
#include "core/net/Transport.h"
#include "core/ptt/ConnectionState.h"
#include "tools/Cli.h"

#include <vector>

namespace hh::cli {

// The JSON lines the commands print. A name is included only when the payload
// is valid UTF-8, so the line stays valid JSON whatever arrives.
Json stateEvent(const Transport::State& state);
Json packetEvent(const WalkiePacket& packet, const DatagramOrigin& origin);
// The controller's connection in the words the panel shows ("Ready").
Json connectionEvent(const ConnectionState& state);
// Why a press did not go on air, in words.
std::string talkFailureText(const TalkFailure& failure);

// The peers and inbound events of `peers` and `listen`: names exactly as received.
Json peersEvent(const std::vector<Peer>& peers);
Json inboundEvent(bool isBlocked);

} // namespace hh::cli
