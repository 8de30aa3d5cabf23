#include "app/model/linux/MulticastGroupCheck.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <sstream>

namespace hh {

std::optional<std::string> defaultRouteInterface(std::string_view procNetRoute) {
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ... (hex fields)
    std::istringstream lines{std::string(procNetRoute)};
    std::string line;
    std::getline(lines, line);  // the heading
    std::optional<std::string> best;
    unsigned long bestMetric = ULONG_MAX;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, destination, gateway, flags, refCount, use, metric, mask;
        if (!(fields >> name >> destination >> gateway >> flags >> refCount >> use >> metric >> mask)) continue;
        unsigned long flagBits = 0, metricValue = 0;
        try {
            flagBits = std::stoul(flags, nullptr, 16);
            metricValue = std::stoul(metric, nullptr, 10);
        } catch (...) {
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
    if (defaultRoute) {
        for (const auto& i : interfaces)
            if (i.name == *defaultRoute) return i.name;
    }
    constexpr unsigned wanted = IFF_UP | IFF_RUNNING | IFF_MULTICAST;
    for (const auto& i : interfaces)
        if ((i.flags & wanted) == wanted && !(i.flags & IFF_LOOPBACK) && i.hasIPv4) return i.name;
    for (const auto& i : interfaces)
        if (i.flags & IFF_LOOPBACK) return i.name;
    return std::nullopt;
}

MulticastAccess multicastAccessFromError(int error) {
    if (error == 0) return MulticastAccess::granted;
    if (error == EPERM || error == EACCES) return MulticastAccess::denied;
    return MulticastAccess::unavailable;
}

namespace {

std::vector<InterfaceCandidate> listInterfaces() {
    std::vector<InterfaceCandidate> result;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return result;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_name) continue;
        InterfaceCandidate* entry = nullptr;
        for (auto& r : result)
            if (r.name == a->ifa_name) entry = &r;
        if (!entry) {
            result.push_back({a->ifa_name, a->ifa_flags, false});
            entry = &result.back();
        }
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET) entry->hasIPv4 = true;
    }
    freeifaddrs(list);
    return result;
}

std::string readProcNetRoute() {
    std::ifstream file("/proc/net/route");
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace

MulticastAccess checkMulticastGroup(std::string_view group) {
    const auto primary = choosePrimaryInterface(defaultRouteInterface(readProcNetRoute()), listInterfaces());
    if (!primary) return MulticastAccess::unavailable;

    ip_mreqn request{};
    if (inet_pton(AF_INET, std::string(group).c_str(), &request.imr_multiaddr) != 1) return MulticastAccess::unavailable;
    request.imr_ifindex = static_cast<int>(if_nametoindex(primary->c_str()));
    if (request.imr_ifindex == 0) return MulticastAccess::unavailable;

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return multicastAccessFromError(errno);
    const int rc = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
    const int error = rc == 0 ? 0 : errno;
    close(fd);  // leaves the group
    return multicastAccessFromError(error);
}

} // namespace hh
