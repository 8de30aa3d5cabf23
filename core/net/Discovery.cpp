#include "core/net/Discovery.h"

#include "core/wire/WalkieConfig.h"

#include <exception>
#include <optional>

namespace hh {

Discovery::Discovery(std::string displayName,
                     std::shared_ptr<DnsSdPlatform> platform)
    : displayName_(std::move(displayName)), queue_(platform->queue()), platform_(std::move(platform)) {}

void Discovery::start() {
    queue_->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        if (self->isAdvertised_) self->startAdvertising();
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

void Discovery::setDisplayName(std::string displayName) {
    queue_->post([weak = weak_from_this(), displayName = std::move(displayName)]() mutable {
        auto self = weak.lock();
        if (!self || self->displayName_ == displayName) return;
        self->displayName_ = std::move(displayName);
        if (!self->listener_) return; // not running: start() advertises the new name
        self->listener_->cancel();
        self->listener_.reset();
        self->startAdvertising();
    });
}

void Discovery::startAdvertising() {
    if (listener_) return;
    std::shared_ptr<DnsSdListener> listener;
    try {
        listener = platform_->makeListener();
    } catch (const std::exception& e) {
        // Without a listener this instance is not listed by the others, but it
        // still sees them; a later start() tries again.
        HH_LOG_WARNING(logcat::discovery, "cannot advertise (no listening socket): " << e.what());
        return;
    }
    if (!listener) return;
    listener->service = DnsSdListener::Service{displayName_, std::string(WalkieConfig::bonjourServiceType)};
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
        if (onBrowseStateChanged) onBrowseStateChanged(BrowseState::failed);
        return;
    }
    browser->onResultsChanged = [weak = weak_from_this()](std::vector<DnsSdBrowseResult> results) {
        if (auto self = weak.lock()) self->handleBrowseResults(results);
    };
    browser->onState = [weak = weak_from_this()](DnsSdBrowserState state) {
        if (auto self = weak.lock()) self->handleBrowserState(state);
    };
    browser->start();
    browser_ = std::move(browser);
}

void Discovery::handleBrowserState(const DnsSdBrowserState& state) {
    switch (state.kind) {
    case DnsSdBrowserState::Kind::ready:
        browseFailure_.succeeded();
        if (onBrowseStateChanged) onBrowseStateChanged(BrowseState::browsing);
        break;
    case DnsSdBrowserState::Kind::waiting:
    case DnsSdBrowserState::Kind::failed: {
        const auto code = state.error ? std::optional(state.error->code) : std::nullopt;
        if (onBrowseStateChanged)
            onBrowseStateChanged(code == DnsSdErrorCode::serviceNotRunning ? BrowseState::noDaemon
                                 : code == DnsSdErrorCode::policyDenied    ? BrowseState::refused
                                                                           : BrowseState::failed);
        // A missing daemon is one failure whatever words the client found for
        // it ("not running", "connection failed") as it retries.
        const std::string detail = !state.error ? std::string("no reason given")
                                   : code == DnsSdErrorCode::serviceNotRunning
                                       ? std::string("the DNS-SD daemon is not running")
                                       : state.error->description;
        browseFailure_.failed((state.kind == DnsSdBrowserState::Kind::waiting ? "waiting: " : "failed: ") + detail);
        break;
    }
    case DnsSdBrowserState::Kind::setup:
    case DnsSdBrowserState::Kind::cancelled: break;
    }
}

void Discovery::handleBrowseResults(const std::vector<DnsSdBrowseResult>& results) {
    std::vector<Peer> peers;
    peers.reserve(results.size());
    for (const auto& result : results) {
        if (!result.serviceEndpoint) continue;
        Peer peer{result.serviceEndpoint->name, result.serviceEndpoint->name};
        peer.address = result.serviceEndpoint->address;
        peers.push_back(std::move(peer));
    }
    HH_LOG_DEBUG(logcat::discovery, peers.size() << " peers found");
    if (onPeersChanged) onPeersChanged(std::move(peers));
}

} // namespace hh
