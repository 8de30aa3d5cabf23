#include "core/env/NetworkNameMonitor.h"

#include <utility>

namespace hh {

NetworkNameMonitor::NetworkNameMonitor(Executor& mainExecutor, std::unique_ptr<WifiNameSource> wifi,
                                       std::unique_ptr<LocationAuthorizationSource> location)
    : executor_(mainExecutor), wifi_(std::move(wifi)), location_(std::move(location)) {}

// Destroying the timer stops the ticks; a change report already posted finds
// the monitor gone and does nothing.
NetworkNameMonitor::~NetworkNameMonitor() = default;

void NetworkNameMonitor::start() {
    if (isStarted_) return;
    isStarted_ = true;
    std::weak_ptr<NetworkNameMonitor> weak = weak_from_this();

    // The change may be reported on any thread; the refresh happens on ours,
    // at once rather than at the next tick.
    location_->onAuthorizationChange = [weak, &executor = executor_] {
        executor.post([weak] {
            if (auto self = weak.lock()) self->refresh();
        });
    };
    if (location_->status() == LocationAuthorization::notDetermined) location_->requestAuthorization();

    refresh();

    timer_ = executor_.startRepeating(refreshInterval, [weak] {
        if (auto self = weak.lock()) self->refresh();
    });
}

void NetworkNameMonitor::refresh() {
    setSsid(wifi_->currentSsid());
}

void NetworkNameMonitor::setSsid(std::optional<std::string> name) {
    ssid_ = std::move(name);
    if (onChange) onChange();
}

} // namespace hh
