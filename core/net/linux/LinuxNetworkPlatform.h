#pragma once

#include "core/net/NetworkPlatform.h"

#include <asio/io_context.hpp>

#include <memory>

namespace hh {

// The multicast group on a UDP socket (joined and sending on the primary
// interface, TTL 1, loopback on) and the path monitor on rtnetlink. Both run on
// `context`, which must be the io_context of the executor they are started on.
std::shared_ptr<NetworkPlatform> makeLinuxNetworkPlatform(asio::io_context& context);

} // namespace hh
