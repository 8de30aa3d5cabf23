#include "core/net/Discovery.h"

#include "core/wire/WalkieConfig.h"

#include <exception>

namespace hh {

Discovery::Discovery(std::string displayName, std::shared_ptr<Executor> queue,
                     std::shared_ptr<DnsSdPlatform> platform)
    : displayName_(std::move(displayName)), queue_(std::move(queue)), platform_(std::move(platform)) {}

void Discovery::start() {
    queue_->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->startAdvertising();
        self->startBrowsing();
    });
}

void Discovery::stop() {
    queue_->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        if (self->listener_) self->listener_->cancel();
        if (self->browser_) self->browser_->cancel();
        self->listener_.reset();
        self->browser_.reset();
    });
}

void Discovery::startAdvertising() {
    if (listener_) return;
    std::shared_ptr<DnsSdListener> listener;
    try {
        listener = platform_->makeListener();
    } catch (const std::exception&) {
        // Without a listener this instance is not listed by the others, but it
        // still sees them; a later start() tries again.
        return;
    }
    if (!listener) return;
    listener->service = DnsSdListener::Service{
        displayName_, std::string(WalkieConfig::bonjourServiceType), std::nullopt, std::nullopt};
    // Nobody is meant to talk to us over this port: it only carries the advertisement.
    listener->onNewConnection = [](std::shared_ptr<DnsSdConnection> connection) {
        if (connection) connection->cancel();
    };
    listener->start();
    listener_ = std::move(listener);
}

void Discovery::startBrowsing() {
    if (browser_) return;
    auto browser = platform_->makeBrowser(std::string(WalkieConfig::bonjourServiceType),
                                          std::string(WalkieConfig::bonjourDomain));
    if (!browser) {
        if (onAvailabilityChanged) onAvailabilityChanged(false);
        return;
    }
    browser->onState = [weak = weak_from_this()](DnsSdBrowserState state) {
        auto self = weak.lock();
        if (!self || !self->onAvailabilityChanged) return;
        switch (state.kind) {
        case DnsSdBrowserState::Kind::ready: self->onAvailabilityChanged(true); break;
        case DnsSdBrowserState::Kind::waiting:
        case DnsSdBrowserState::Kind::failed: self->onAvailabilityChanged(false); break;
        case DnsSdBrowserState::Kind::setup:
        case DnsSdBrowserState::Kind::cancelled: break;
        }
    };
    browser->onResultsChanged = [weak = weak_from_this()](std::vector<DnsSdBrowseResult> results) {
        if (auto self = weak.lock()) self->handleBrowseResults(results);
    };
    browser->start();
    browser_ = std::move(browser);
}

void Discovery::handleBrowseResults(const std::vector<DnsSdBrowseResult>& results) {
    std::vector<Peer> peers;
    peers.reserve(results.size());
    for (const auto& result : results) {
        if (!result.serviceEndpoint) continue;
        peers.push_back(Peer{result.serviceEndpoint->name, result.serviceEndpoint->name});
    }
    if (onPeersChanged) onPeersChanged(std::move(peers));
}

} // namespace hh
