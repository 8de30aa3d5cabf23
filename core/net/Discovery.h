#pragma once

#include "core/exec/Executor.h"
#include "core/log/Log.h"
#include "core/net/DnsSdPlatform.h"
#include "core/net/Peer.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hh {

// Makes this instance visible to the others on the local network (a DNS-SD
// service named after the display name) and keeps the list of instances it sees.
// All its state lives on the platform's executor; start() and stop() may be
// called from any thread.
class Discovery : public std::enable_shared_from_this<Discovery> {
public:
    // What browsing tells about DNS-SD on this computer.
    enum class BrowseState {
        browsing,  // the daemon answers: the peer list is DNS-SD's
        noDaemon,  // no DNS-SD daemon can be reached (yet)
        refused,   // the daemon or a policy refuses us
        failed,    // any other failure
    };

    Discovery(std::string displayName, std::shared_ptr<DnsSdPlatform> platform);

    Discovery(const Discovery&) = delete;
    Discovery& operator=(const Discovery&) = delete;

    // The complete current list, on every change of the browse results; called
    // on the queue. Assign before start().
    std::function<void(std::vector<Peer>)> onPeersChanged;
    // Each state the browser reports (repeats included), on the queue. Assign
    // before start().
    std::function<void(BrowseState)> onBrowseStateChanged;

    // Before start(): whether to advertise at all (a one-shot sender only browses).
    void setAdvertised(bool isAdvertised) { isAdvertised_ = isAdvertised; }
    // Starts advertising, then browsing; what already runs is kept.
    void start();
    // Cancels and releases the listener and the browser. No final empty list.
    void stop();
    // Advertises under `displayName` from now on: a running advertisement is
    // withdrawn and made again under the new name. From any thread.
    void setDisplayName(std::string displayName);

private:
    void startAdvertising();
    void startBrowsing();
    void handleBrowseResults(const std::vector<DnsSdBrowseResult>& results);
    void handleBrowserState(const DnsSdBrowserState& state);

    std::string displayName_;
    bool isAdvertised_ = true;
    std::shared_ptr<Executor> queue_;
    std::shared_ptr<DnsSdPlatform> platform_;
    std::shared_ptr<DnsSdListener> listener_;
    std::shared_ptr<DnsSdBrowser> browser_;
    // Waiting for the daemon, refused, or failed: logged when it starts and ends.
    FailureLog browseFailure_{logcat::discovery, "browsing for peers"};
};

} // namespace hh
