#include "app/model/MulticastFallbackProbe.h"

#include <atomic>
#include <utility>

namespace hh {

// Shared with the browser's handler, which may run on another thread.
struct MulticastFallbackProbe::Relay {
    Check check;
    std::function<void(LocalNetworkProbeState)> onState;
    std::atomic<bool> isCancelled{false};

    void forward(LocalNetworkProbeState state) {
        if (isCancelled) return;
        using Kind = LocalNetworkProbeState::Kind;
        const bool isDaemonMissing = (state.kind == Kind::waiting || state.kind == Kind::failed) &&
                                     state.dnsSdError == LocalNetworkProbeState::daemonNotRunning;
        if (isDaemonMissing) {
            switch (check()) {
            case MulticastAccess::granted: state = {Kind::ready, std::nullopt}; break;
            case MulticastAccess::denied: state = {Kind::waiting, LocalNetworkProbeState::policyDenied}; break;
            case MulticastAccess::unavailable: break;
            }
        }
        if (onState && !isCancelled) onState(state);
    }
};

MulticastFallbackProbe::MulticastFallbackProbe(std::unique_ptr<LocalNetworkProbe> browser, Check checkMulticastGroup)
    : browser_(std::move(browser)), relay_(std::make_shared<Relay>()) {
    relay_->check = std::move(checkMulticastGroup);
}

MulticastFallbackProbe::~MulticastFallbackProbe() {
    cancel();
}

void MulticastFallbackProbe::start() {
    relay_->onState = onState;
    browser_->onState = [relay = std::weak_ptr(relay_)](LocalNetworkProbeState state) {
        if (auto r = relay.lock()) r->forward(std::move(state));
    };
    browser_->start();
}

void MulticastFallbackProbe::cancel() {
    relay_->isCancelled = true;
    browser_->cancel();
}

} // namespace hh
