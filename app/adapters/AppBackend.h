#pragma once

#include "app/bridge/ControllerObject.h"
#include "app/bridge/EnvironmentObjects.h"
#include "app/bridge/HotkeyObject.h"

#include <memory>

namespace hh {

// What the shell runs on: the controller and the panel's two environment
// models, as Qt objects. The program passes adapters over the core (below);
// tests pass fakes.
struct AppBackend {
    std::unique_ptr<ControllerObject> controller;
    std::unique_ptr<NetworkNameObject> networkName;
    std::unique_ptr<PermissionObject> permissions;
    // The global push-to-talk key; none: the panel is the only way to talk.
    std::unique_ptr<HotkeyObject> hotkey;
    // The global reply key (unset until chosen in Settings); none: Reply is
    // only the panel's button.
    std::unique_ptr<HotkeyObject> replyHotkey;
};

// The controller for this computer (its name, a fresh random identity) on the
// Linux services, with the network-name monitor and the permission model, all
// on a Qt main executor. Call on the main thread after the application exists.
AppBackend makeAppBackend();

} // namespace hh
