#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <vector>

namespace hh::linuxnet {

struct InterfaceInfo {
    std::string name;
    unsigned index = 0;
    in_addr address{};  // its first IPv4 address, if any
};

// The interface to join and send on: the one of the IPv4 default route, else the
// first that is up, running, multicast-capable, not loopback and has an IPv4
// address, else loopback.
std::optional<InterfaceInfo> primaryInterface();

// Names of the interfaces that are up, running, not loopback and have an IPv4
// address, in the kernel's order, each once.
std::vector<std::string> usableInterfaceNames();

// The interface of the IPv4 default route in a /proc/net/route table, if any.
std::optional<std::string> defaultRouteInterface(const std::string& routeTable);

} // namespace hh::linuxnet
