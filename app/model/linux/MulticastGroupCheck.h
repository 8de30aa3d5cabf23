#pragma once

#include "app/model/MulticastFallbackProbe.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hh {

struct InterfaceCandidate {
    std::string name;
    unsigned flags = 0;  // IFF_* of the interface
    bool hasIPv4 = false;
};

// The interface of the IPv4 default route in the text of /proc/net/route (the
// one with the lowest metric), or none.
std::optional<std::string> defaultRouteInterface(std::string_view procNetRoute);

// The primary interface: the default route's, else the first interface that
// is up, running, multicast-capable, not loopback and has IPv4, else loopback.
std::optional<std::string> choosePrimaryInterface(const std::optional<std::string>& defaultRoute,
                                                  const std::vector<InterfaceCandidate>& interfaces);

// What the kernel's answer to a join means for local-network access.
MulticastAccess multicastAccessFromError(int error);

// Joins `group` on the primary interface and leaves at once. Blocks only for
// a few system calls. Joining sends an IGMP report on that interface.
MulticastAccess checkMulticastGroup(std::string_view group);

} // namespace hh
