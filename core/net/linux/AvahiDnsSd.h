#pragma once

#include "core/exec/AsioExecutor.h"
#include "core/net/DnsSdPlatform.h"

#include <cstdint>
#include <memory>

namespace hh {

// DNS-SD on avahi-daemon, reached over the D-Bus system bus
// (DBUS_SYSTEM_BUS_ADDRESS is honoured). The Avahi client runs on `queue`'s
// thread, where every handler is called and every listener and browser method
// must be called. The listeners and browsers share one client, which survives the
// daemon: when it is missing or restarts, advertising and browsing resume when it
// is back. A browser reports waiting with `DnsSdErrorCode::serviceNotRunning`
// while the daemon cannot be reached, and `policyDenied` when access is refused.
// A browser never lists a service advertised by a listener of the same platform,
// whatever name a collision gave it.
//
// The objects made here may be released on any thread; they are torn down on
// `queue`, which the platform keeps.
std::shared_ptr<DnsSdPlatform> makeAvahiDnsSdPlatform(std::shared_ptr<AsioExecutor> queue);

// The DNS-SD error for an Avahi error number.
DnsSdError dnsSdErrorFromAvahi(int avahiError);

} // namespace hh
