#pragma once

#include "app/model/PermissionPlatform.h"

namespace hh {

// The local-network probe on Linux: a DNS-SD browse for our own service type
// through avahi-daemon, and, when the daemon cannot be reached, the multicast
// group check. The Avahi client runs on a thread of its own, shared by the
// probes the factory makes; each probe is made, started, cancelled and released
// there, so the factory and the probes may be used from any one thread.
LocalNetworkProbeFactory makeDnsSdLocalNetworkProbeFactory();

} // namespace hh
