#pragma once

#include "app/shell/AppDelegate.h"

namespace hh {

// The controller for this computer (its name, a fresh random identity) on the
// Linux services, with the network-name monitor and the permission model, all
// on a Qt main executor. Call on the main thread after the application exists.
AppBackend makeAppBackend();

} // namespace hh
