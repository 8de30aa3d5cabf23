#pragma once

#include "app/model/PermissionPlatform.h"

#include <functional>
#include <memory>

namespace hh {

// What joining the multicast group tells about local-network access.
enum class MulticastAccess {
    granted,      // the join succeeded
    denied,       // refused with a permission error
    unavailable,  // failed for another reason (no interface, no memory, ...)
};

// Wraps the DNS-SD probe for machines without a DNS-SD daemon. There the
// browser only ever waits with "daemon not running", which would leave the
// local network "unknown" (and the talk button off) although multicast audio
// works. On that report the probe checks the multicast group itself and
// answers as the browser would: ready when the join succeeds, waiting with the
// policy-denied error when it is refused. Every other report passes unchanged.
class MulticastFallbackProbe final : public LocalNetworkProbe {
public:
    using Check = std::function<MulticastAccess()>;

    MulticastFallbackProbe(std::unique_ptr<LocalNetworkProbe> browser, Check checkMulticastGroup);
    ~MulticastFallbackProbe() override;

    void start() override;
    void cancel() override;

private:
    struct Relay;

    std::unique_ptr<LocalNetworkProbe> browser_;
    std::shared_ptr<Relay> relay_;
};

} // namespace hh
