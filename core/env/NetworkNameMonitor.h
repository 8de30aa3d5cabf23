#pragma once

#include "core/env/WifiPlatform.h"
#include "core/exec/Executor.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace hh {

// Keeps the current Wi-Fi network's name as observable state. Everything runs
// on the main executor: the name is read at start, every 10 s, and after each
// change of the location authorization, and assigned (and notified) on every
// read, whether or not it changed.
class NetworkNameMonitor : public std::enable_shared_from_this<NetworkNameMonitor> {
public:
    static constexpr Executor::Duration refreshInterval = std::chrono::seconds(10);

    NetworkNameMonitor(Executor& mainExecutor, std::unique_ptr<WifiNameSource> wifi,
                       std::unique_ptr<LocationAuthorizationSource> location);
    ~NetworkNameMonitor();

    NetworkNameMonitor(const NetworkNameMonitor&) = delete;
    NetworkNameMonitor& operator=(const NetworkNameMonitor&) = delete;

    // Called on the main executor after each assignment of `ssid`.
    std::function<void()> onChange;

    // Completes construction, on the main executor: asks for the authorization
    // if it was never decided, reads the name once and starts the timer.
    // Later calls do nothing.
    void start();

    const std::optional<std::string>& ssid() const { return ssid_; }

private:
    void refresh();
    void setSsid(std::optional<std::string> name);

    Executor& executor_;
    std::unique_ptr<WifiNameSource> wifi_;
    std::unique_ptr<LocationAuthorizationSource> location_;
    std::optional<std::string> ssid_;
    std::unique_ptr<Executor::RepeatingTimer> timer_;
    bool isStarted_ = false;
};

} // namespace hh
