#include "support/FakeNetworkPlatform.h"

namespace hh {

namespace {

class FakeGroup final : public MulticastGroup {
public:
    FakeGroup(std::shared_ptr<FakeNetworkPlatform::GroupRecord> record, bool isAutoReady, Executor& queue)
        : record_(std::move(record)), isAutoReady_(isAutoReady), queue_(queue) {}

    void setReceiveHandler(std::size_t maximumMessageSize, ReceiveHandler handler) override {
        record_->maximumMessageSize = maximumMessageSize;
        record_->receiveHandler = std::move(handler);
    }
    void setStateUpdateHandler(StateHandler handler) override { record_->stateHandler = std::move(handler); }
    void start() override {
        record_->queue = &queue_;
        if (isAutoReady_) {
            record_->deliverState({GroupState::Kind::setup, {}});
            record_->deliverState({GroupState::Kind::ready, {}});
        }
    }
    void send(Bytes content, const std::string& destination) override {
        if (record_->isCancelled) return;
        record_->sent.push_back(std::move(content));
        record_->destinations.push_back(destination);
    }
    void cancel() override {
        if (record_->isCancelled) return;
        record_->isCancelled = true;
        if (record_->queue && record_->stateHandler) {
            auto handler = record_->stateHandler;
            record_->queue->post([handler] { handler({GroupState::Kind::cancelled, {}}); });
        }
    }

private:
    std::shared_ptr<FakeNetworkPlatform::GroupRecord> record_;
    bool isAutoReady_;
    Executor& queue_;
};

class FakeMonitor final : public PathMonitor {
public:
    FakeMonitor(std::shared_ptr<FakeNetworkPlatform::MonitorRecord> record, Executor& queue)
        : record_(std::move(record)), queue_(queue) {}
    void setPathUpdateHandler(UpdateHandler handler) override { record_->handler = std::move(handler); }
    void start() override { record_->queue = &queue_; }
    void cancel() override { record_->isCancelled = true; }

private:
    std::shared_ptr<FakeNetworkPlatform::MonitorRecord> record_;
    Executor& queue_;
};

} // namespace

void FakeNetworkPlatform::GroupRecord::deliverState(const GroupState& state) {
    if (!queue || isCancelled) return;
    // The handler is read when the task runs, so a detach before then is honoured.
    queue->post([this, state] {
        if (stateHandler) stateHandler(state);
    });
}

void FakeNetworkPlatform::GroupRecord::deliverDatagram(Bytes content, DatagramOrigin origin) {
    if (!queue || isCancelled || content.size() > maximumMessageSize) return;
    queue->post([this, content = std::move(content), origin = std::move(origin)] {
        if (receiveHandler && !isCancelled) receiveHandler(std::span<const std::uint8_t>(content), origin);
    });
}

void FakeNetworkPlatform::MonitorRecord::deliverPath(NetworkPath path) {
    if (!queue || isCancelled) return;
    queue->post([this, path = std::move(path)] {
        if (handler && !isCancelled) handler(path);
    });
}

std::unique_ptr<MulticastGroup> FakeNetworkPlatform::makeMulticastGroup(std::string_view host, std::uint16_t) {
    auto record = std::make_shared<GroupRecord>();
    record->host = host;
    groups.push_back(record);
    return std::make_unique<FakeGroup>(record, isAutoReady, *queue_);
}

std::unique_ptr<PathMonitor> FakeNetworkPlatform::makePathMonitor() {
    auto record = std::make_shared<MonitorRecord>();
    monitors.push_back(record);
    return std::make_unique<FakeMonitor>(record, *queue_);
}

std::vector<Bytes> FakeNetworkPlatform::allSent() const {
    std::vector<Bytes> out;
    for (const auto& g : groups) out.insert(out.end(), g->sent.begin(), g->sent.end());
    return out;
}

} // namespace hh
