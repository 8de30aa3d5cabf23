#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hh::linuxnet {

struct InterfaceInfo {
    std::string name;
    unsigned index = 0;
    in_addr address{};  // its first IPv4 address, if any
    in_addr netmask{};  // that address's
};

// The interface to join and send on, the one choice for the transport and the
// permission check: the one of the IPv4 default route if it is up, running and
// has an IPv4 address, else the first that is up, running, multicast-capable,
// not loopback and has an IPv4 address; none when nothing is.
std::optional<InterfaceInfo> primaryInterface();

struct InterfaceCandidate {
    std::string name;
    unsigned flags = 0;  // IFF_* of the interface
    bool hasIPv4 = false;
};

// primaryInterface()'s choice among `interfaces`, in the kernel's order.
std::optional<std::string> choosePrimaryInterface(const std::optional<std::string>& defaultRoute,
                                                  const std::vector<InterfaceCandidate>& interfaces);

// Names of the interfaces that are up, running, not loopback and have an IPv4
// address, in the kernel's order, each once.
std::vector<std::string> usableInterfaceNames();

// The interface of the IPv4 default route in a /proc/net/route table, the one
// with the lowest metric among those that are up; lines that do not parse are
// skipped.
std::optional<std::string> defaultRouteInterface(std::string_view routeTable);

} // namespace hh::linuxnet
