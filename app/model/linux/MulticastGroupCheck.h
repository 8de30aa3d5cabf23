#pragma once

#include "app/model/MulticastFallbackProbe.h"

#include <string_view>

namespace hh {

// What the kernel's answer to a join means for local-network access.
MulticastAccess multicastAccessFromError(int error);

// Joins `group` on the primary interface (the transport's choice) and leaves at
// once. Blocks only for a few system calls. Joining sends an IGMP report on
// that interface.
MulticastAccess checkMulticastGroup(std::string_view group);

} // namespace hh
