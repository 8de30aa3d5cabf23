#pragma once

namespace hh {

// Whether this computer lets the program use the local network, as far as the
// controller can tell from discovery and the multicast group.
enum class LocalNetworkAccess { unknown, granted, denied };

} // namespace hh
