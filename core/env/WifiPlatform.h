#pragma once

#include <functional>
#include <optional>
#include <string>

namespace hh {

// Where the current Wi-Fi network's name comes from.
class WifiNameSource {
public:
    virtual ~WifiNameSource() = default;
    // The SSID of the associated network, byte for byte as the platform reports
    // it (it need not be UTF-8; an empty name stays empty), or none when there is
    // no Wi-Fi interface, Wi-Fi is off or nothing is associated. Never throws.
    virtual std::optional<std::string> currentSsid() = 0;
};

// The permission some platforms require before they reveal the SSID.
enum class LocationAuthorization {
    notDetermined,
    restricted,
    denied,
    authorized,
};

class LocationAuthorizationSource {
public:
    virtual ~LocationAuthorizationSource() = default;

    // Called, from any thread, whenever the authorization changes (also after
    // the user answers a request). Assigned by the owner before use.
    std::function<void()> onAuthorizationChange;

    virtual LocationAuthorization status() const = 0;
    // Asks the user for authorization; the answer arrives as a change.
    virtual void requestAuthorization() = 0;
};

} // namespace hh
