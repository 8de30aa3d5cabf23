#pragma once

#include "core/net/NetworkPlatform.h"

#include <memory>
#include <string>
#include <vector>

namespace hh {

// An in-memory network for tests. Every group and monitor it makes stays
// inspectable through the platform; deliveries of started objects go through
// the platform's executor, as a real platform's would.
class FakeNetworkPlatform final : public NetworkPlatform {
public:
    explicit FakeNetworkPlatform(std::shared_ptr<Executor> queue) : queue_(std::move(queue)) {}
    std::shared_ptr<Executor> queue() const override { return queue_; }

    struct GroupRecord {
        std::string host;
        std::size_t maximumMessageSize = 0;
        MulticastGroup::ReceiveHandler receiveHandler;
        MulticastGroup::StateHandler stateHandler;
        Executor* queue = nullptr;
        bool isCancelled = false;
        std::vector<Bytes> sent;
        std::vector<std::string> destinations;  // beside `sent`: empty for the group

        // Delivers on the group's queue, unless it was cancelled.
        void deliverState(const GroupState& state);
        void deliverDatagram(Bytes content, DatagramOrigin origin = {"10.0.0.9", false});
    };
    struct MonitorRecord {
        PathMonitor::UpdateHandler handler;
        Executor* queue = nullptr;
        bool isCancelled = false;
        void deliverPath(NetworkPath path);
    };

    std::unique_ptr<MulticastGroup> makeMulticastGroup(std::string_view, std::uint16_t) override;
    std::unique_ptr<PathMonitor> makePathMonitor() override;

    // When set, a started group reports setup and then ready by itself.
    bool isAutoReady = false;

    std::vector<std::shared_ptr<GroupRecord>> groups;
    std::vector<std::shared_ptr<MonitorRecord>> monitors;

    std::shared_ptr<GroupRecord> lastGroup() const { return groups.empty() ? nullptr : groups.back(); }
    std::shared_ptr<MonitorRecord> lastMonitor() const { return monitors.empty() ? nullptr : monitors.back(); }
    // Every datagram sent through any group, in order.
    std::vector<Bytes> allSent() const;

private:
    std::shared_ptr<Executor> queue_;
};

} // namespace hh
