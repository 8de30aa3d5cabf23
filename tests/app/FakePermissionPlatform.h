#pragma once

#include "app/model/PermissionPlatform.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hh {

struct FakeMicrophone final : MicrophoneAccess {
    MicrophoneAuthorization value = MicrophoneAuthorization::notDetermined;
    std::vector<std::function<void(bool)>> pendingRequests;  // answered by the test

    MicrophoneAuthorization status() override { return value; }
    void requestAccess(std::function<void(bool)> completion) override {
        pendingRequests.push_back(std::move(completion));
    }
};

// Records what happens to every probe it makes, in one shared log.
struct FakeProbeLog {
    std::vector<std::string> events;
    std::vector<class FakeProbe*> live;
};

class FakeProbe final : public LocalNetworkProbe {
public:
    FakeProbe(std::shared_ptr<FakeProbeLog> log, int id) : log_(std::move(log)), id_(id) {
        log_->events.push_back("create " + std::to_string(id_));
        log_->live.push_back(this);
    }
    ~FakeProbe() override { std::erase(log_->live, this); }
    void start() override { log_->events.push_back("start " + std::to_string(id_)); }
    void cancel() override {
        isCancelled = true;
        log_->events.push_back("cancel " + std::to_string(id_));
    }
    void report(LocalNetworkProbeState state) {
        if (!isCancelled && onState) onState(state);
    }
    bool isCancelled = false;

private:
    std::shared_ptr<FakeProbeLog> log_;
    int id_;
};

inline LocalNetworkProbeFactory fakeProbeFactory(std::shared_ptr<FakeProbeLog> log) {
    return [log, next = 0]() mutable -> std::unique_ptr<LocalNetworkProbe> {
        return std::make_unique<FakeProbe>(log, ++next);
    };
}

} // namespace hh
