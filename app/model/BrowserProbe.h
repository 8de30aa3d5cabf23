#pragma once

#include "app/model/PermissionPlatform.h"

#include <memory>
#include <optional>
#include <utility>

namespace hh {

// Turns a DNS-SD browser into a local-network probe. `Browser` has an
// `onState` handler taking a state with `kind` (an enumeration with the cases
// setup, ready, waiting, failed, cancelled) and an optional `error` with a
// `code`, and start() and cancel(); no results handler is installed, the
// probe never reads what it finds. For the real probe, the app wraps this in a
// MulticastFallbackProbe:
//
//     MulticastFallbackProbe(std::make_unique<BrowserProbe<DnsSdBrowser>>(
//                                platform.makeBrowser(type, domain)),
//                            [] { return checkMulticastGroup(WalkieConfig::multicastHost); })
template <class Browser>
class BrowserProbe final : public LocalNetworkProbe {
public:
    explicit BrowserProbe(std::shared_ptr<Browser> browser) : browser_(std::move(browser)) {}
    ~BrowserProbe() override { cancel(); }

    void start() override {
        // The handler holds a copy of ours, not the probe: the browser may
        // outlive this object for a moment.
        browser_->onState = [report = onState](const auto& state) {
            if (report) report(convert(state));
        };
        browser_->start();
    }

    void cancel() override {
        if (isCancelled_) return;
        isCancelled_ = true;
        browser_->cancel();
    }

    template <class State>
    static LocalNetworkProbeState convert(const State& state) {
        using From = decltype(state.kind);
        using Kind = LocalNetworkProbeState::Kind;
        LocalNetworkProbeState result;
        switch (state.kind) {
        case From::setup: result.kind = Kind::setup; break;
        case From::ready: result.kind = Kind::ready; break;
        case From::waiting: result.kind = Kind::waiting; break;
        case From::failed: result.kind = Kind::failed; break;
        case From::cancelled: result.kind = Kind::cancelled; break;
        }
        if (state.error) result.dnsSdError = state.error->code;
        return result;
    }

private:
    std::shared_ptr<Browser> browser_;
    bool isCancelled_ = false;
};

} // namespace hh
