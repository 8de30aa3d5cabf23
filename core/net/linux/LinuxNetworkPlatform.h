#pragma once

#include "core/net/NetworkPlatform.h"

#include "core/exec/AsioExecutor.h"

#include <memory>

namespace hh {

// The multicast group on a UDP socket (joined and sending on the primary
// interface, TTL 1, loopback on) and the path monitor on rtnetlink, both on
// `queue`'s thread.
std::shared_ptr<NetworkPlatform> makeLinuxNetworkPlatform(std::shared_ptr<AsioExecutor> queue);

} // namespace hh
