#pragma once

#include "core/env/WifiPlatform.h"

#include <memory>

struct nl_sock;

namespace hh {

// Reads the SSID from the kernel's nl80211 interface: an interface dump, whose
// station-mode entries carry the SSID while associated. No Wi-Fi hardware (no
// nl80211 family), Wi-Fi off or not associated all give none.
class Nl80211WifiNameSource final : public WifiNameSource {
public:
    Nl80211WifiNameSource();
    ~Nl80211WifiNameSource() override;

    Nl80211WifiNameSource(const Nl80211WifiNameSource&) = delete;
    Nl80211WifiNameSource& operator=(const Nl80211WifiNameSource&) = delete;

    std::optional<std::string> currentSsid() override;

private:
    bool connect();
    void disconnect();

    nl_sock* socket_ = nullptr;
    int family_ = -1;
};

} // namespace hh
