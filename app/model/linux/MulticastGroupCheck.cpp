#include "app/model/linux/MulticastGroupCheck.h"

#include "core/net/linux/NetworkInterfaces.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace hh {

MulticastAccess multicastAccessFromError(int error) {
    if (error == 0) return MulticastAccess::granted;
    if (error == EPERM || error == EACCES) return MulticastAccess::denied;
    return MulticastAccess::unavailable;
}

MulticastAccess checkMulticastGroup(std::string_view group) {
    const auto primary = linuxnet::primaryInterface();
    if (!primary) return MulticastAccess::unavailable;

    ip_mreqn request{};
    if (inet_pton(AF_INET, std::string(group).c_str(), &request.imr_multiaddr) != 1) return MulticastAccess::unavailable;
    request.imr_ifindex = static_cast<int>(primary->index);

    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return multicastAccessFromError(errno);
    const int rc = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
    const int error = rc == 0 ? 0 : errno;
    close(fd);  // leaves the group
    return multicastAccessFromError(error);
}

} // namespace hh
