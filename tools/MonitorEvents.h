#pragma once

#include "core/net/Transport.h"
#include "tools/Cli.h"

namespace hh::cli {

// The JSON lines `monitor` prints. A name is included only when the payload is
// valid UTF-8, so the line stays valid JSON whatever arrives.
Json stateEvent(const Transport::State& state);
Json packetEvent(const WalkiePacket& packet);

} // namespace hh::cli
