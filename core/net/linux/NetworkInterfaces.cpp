#include "core/net/linux/NetworkInterfaces.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace hh::linuxnet {

std::optional<std::string> defaultRouteInterface(const std::string& routeTable) {
    std::istringstream in(routeTable);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refcnt, use, metric, mask;
        if (!(fields >> iface >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask)) continue;
        const unsigned long flagBits = std::stoul(flags, nullptr, 16);
        constexpr unsigned long routeUp = 0x1;
        if (destination == "00000000" && mask == "00000000" && (flagBits & routeUp)) return iface;
    }
    return std::nullopt;
}

namespace {

struct IfAddrsDeleter {
    void operator()(ifaddrs* p) const { freeifaddrs(p); }
};

std::unique_ptr<ifaddrs, IfAddrsDeleter> interfaceAddresses() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return nullptr;
    return std::unique_ptr<ifaddrs, IfAddrsDeleter>(list);
}

bool isUsable(const ifaddrs& a) {
    return a.ifa_addr && a.ifa_addr->sa_family == AF_INET && (a.ifa_flags & IFF_UP) && (a.ifa_flags & IFF_RUNNING) &&
           !(a.ifa_flags & IFF_LOOPBACK);
}

std::optional<InterfaceInfo> describe(const std::string& name, const ifaddrs* list) {
    const unsigned index = if_nametoindex(name.c_str());
    if (index == 0) return std::nullopt;
    InterfaceInfo info{name, index, {}};
    for (auto* a = list; a; a = a->ifa_next) {
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET && name == a->ifa_name) {
            info.address = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr;
            break;
        }
    }
    return info;
}

std::string readFile(const char* path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

std::optional<InterfaceInfo> primaryInterface() {
    auto list = interfaceAddresses();
    if (auto name = defaultRouteInterface(readFile("/proc/net/route"))) {
        if (auto info = describe(*name, list.get())) return info;
    }
    for (auto* a = list.get(); a; a = a->ifa_next) {
        if (isUsable(*a) && (a->ifa_flags & IFF_MULTICAST)) return describe(a->ifa_name, list.get());
    }
    for (auto* a = list.get(); a; a = a->ifa_next) {
        if (a->ifa_flags & IFF_LOOPBACK) return describe(a->ifa_name, list.get());
    }
    return std::nullopt;
}

std::vector<std::string> usableInterfaceNames() {
    std::vector<std::string> names;
    auto list = interfaceAddresses();
    for (auto* a = list.get(); a; a = a->ifa_next) {
        if (!isUsable(*a)) continue;
        std::string name = a->ifa_name;
        bool seen = false;
        for (const auto& n : names) seen = seen || n == name;
        if (!seen) names.push_back(std::move(name));
    }
    return names;
}

} // namespace hh::linuxnet
