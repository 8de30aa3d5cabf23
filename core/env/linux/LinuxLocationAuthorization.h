#pragma once

#include "core/env/WifiPlatform.h"

namespace hh {

// Linux reveals the SSID to every program without asking, so the answer is
// always "authorized" and no request is ever made or needed.
class LinuxLocationAuthorization final : public LocationAuthorizationSource {
public:
    LocationAuthorization status() const override { return LocationAuthorization::authorized; }
    void requestAuthorization() override {}
};

} // namespace hh
