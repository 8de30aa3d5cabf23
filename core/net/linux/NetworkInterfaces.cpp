#include "core/net/linux/NetworkInterfaces.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

namespace hh::linuxnet {

std::optional<std::string> defaultRouteInterface(std::string_view routeTable) {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ... (hex but the metric)
    std::istringstream lines{std::string(routeTable)};
    std::string line;
    std::getline(lines, line);  // the heading
    std::optional<std::string> best;
    unsigned long bestMetric = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refCount, use, metric, mask;
        if (!(fields >> name >> destination >> gateway >> flags >> refCount >> use >> metric >> mask)) continue;
        unsigned long flagBits = 0, metricValue = 0;
        try {
            flagBits = std::stoul(flags, nullptr, 16);
            metricValue = std::stoul(metric, nullptr, 10);
        } catch (const std::exception&) {
            continue;
        }
        constexpr unsigned long routeUp = 0x1;
        if (destination != "00000000" || mask != "00000000" || !(flagBits & routeUp)) continue;
        if (!best || metricValue < bestMetric) {
            best = name;
            bestMetric = metricValue;
        }
    }
    return best;
}

std::optional<std::string> choosePrimaryInterface(const std::optional<std::string>& defaultRoute,
                                                  const std::vector<InterfaceCandidate>& interfaces) {
    // Loopback is never chosen: joined there we would hear only ourselves.
    const auto isUsable = [](const InterfaceCandidate& i, unsigned wanted) {
        return (i.flags & wanted) == wanted && !(i.flags & IFF_LOOPBACK) && i.hasIPv4;
    };
    if (defaultRoute) {
        for (const auto& i : interfaces)
            if (i.name == *defaultRoute && isUsable(i, IFF_UP | IFF_RUNNING)) return i.name;
    }
    for (const auto& i : interfaces)
        if (isUsable(i, IFF_UP | IFF_RUNNING | IFF_MULTICAST)) return i.name;
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
    InterfaceInfo info{name, index, {}, {}};
    for (auto* a = list; a; a = a->ifa_next) {
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET && name == a->ifa_name) {
            info.address = reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr;
            if (a->ifa_netmask) info.netmask = reinterpret_cast<const sockaddr_in*>(a->ifa_netmask)->sin_addr;
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
    std::vector<InterfaceCandidate> candidates;
    for (auto* a = list.get(); a; a = a->ifa_next) {
        if (!a->ifa_name) continue;
        auto entry = std::find_if(candidates.begin(), candidates.end(),
                                  [a](const InterfaceCandidate& c) { return c.name == a->ifa_name; });
        if (entry == candidates.end()) entry = candidates.insert(candidates.end(), {a->ifa_name, a->ifa_flags, false});
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET) entry->hasIPv4 = true;
    }
    const auto name = choosePrimaryInterface(defaultRouteInterface(readFile("/proc/net/route")), candidates);
    return name ? describe(*name, list.get()) : std::nullopt;
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
