#pragma once

#include "app/model/PermissionPlatform.h"

#include <string>
#include <vector>

namespace hh {

struct FakeMicrophone final : MicrophoneAccess {
    MicrophoneAuthorization value = MicrophoneAuthorization::notDetermined;
    std::vector<std::function<void(bool)>> pendingRequests;  // answered by the test

    MicrophoneAuthorization status() override { return value; }
    void requestAccess(std::function<void(bool)> completion) override { pendingRequests.push_back(completion); }
};

// Probes that log what happens to them, in one shared log.
struct FakeProbeLog {
    std::vector<std::string> events;
    std::vector<struct FakeProbe*> live;
};

struct FakeProbe final : LocalNetworkProbe {
    std::shared_ptr<FakeProbeLog> log;
    std::string id;
    bool isCancelled = false;

    FakeProbe(std::shared_ptr<FakeProbeLog> l, int n) : log(std::move(l)), id(std::to_string(n)) {
        log->events.push_back("create " + id);
        log->live.push_back(this);
    }
    ~FakeProbe() override { std::erase(log->live, this); }
    void start() override { log->events.push_back("start " + id); }
    void cancel() override {
        isCancelled = true;
        log->events.push_back("cancel " + id);
    }
    void report(LocalNetworkProbeState state) {
        if (!isCancelled) onState(state);
    }
};

} // namespace hh
