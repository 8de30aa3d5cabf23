// Runs the Linux permission checks for the lab tests, printing one word:
//   permission_lab_tool microphone         the microphone status from the sound server
//   permission_lab_tool multicast          the multicast group check (lab hosts only)
//   permission_lab_tool no-daemon-probe    the model's local-network status when the
//                                          DNS-SD browser says the daemon is not running
#include "app/model/MulticastFallbackProbe.h"
#include "app/model/PermissionModel.h"
#include "app/model/linux/MulticastGroupCheck.h"
#include "app/model/linux/PulseMicrophoneAccess.h"
#include "core/exec/ManualExecutor.h"
#include "core/wire/WalkieConfig.h"

#include <iostream>
#include <string>

namespace {

const char* name(hh::PermissionModel::Status s) {
    switch (s) {
    case hh::PermissionModel::Status::granted: return "granted";
    case hh::PermissionModel::Status::denied: return "denied";
    case hh::PermissionModel::Status::notDetermined: return "notDetermined";
    case hh::PermissionModel::Status::unknown: return "unknown";
    }
    return "?";
}

const char* name(hh::MulticastAccess a) {
    switch (a) {
    case hh::MulticastAccess::granted: return "granted";
    case hh::MulticastAccess::denied: return "denied";
    case hh::MulticastAccess::unavailable: return "unavailable";
    }
    return "?";
}

// Stands in for a DNS-SD browser on a machine without a daemon: it only ever
// waits with "daemon not running".
class NoDaemonBrowser final : public hh::LocalNetworkProbe {
public:
    void start() override {
        if (onState) onState({Kind::setup, std::nullopt});
        if (onState) onState({Kind::waiting, hh::LocalNetworkProbeState::daemonNotRunning});
    }
    void cancel() override {}

private:
    using Kind = hh::LocalNetworkProbeState::Kind;
};

class NoMicrophone final : public hh::MicrophoneAccess {
public:
    hh::MicrophoneAuthorization status() override { return hh::MicrophoneAuthorization::unavailable; }
    void requestAccess(std::function<void(bool)> completion) override { completion(false); }
};

} // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (what == "microphone") {
        hh::PulseMicrophoneAccess access;
        std::cout << name(hh::microphoneStatus(access.status())) << "\n";
        return 0;
    }
    if (what == "multicast") {
        std::cout << name(hh::checkMulticastGroup(hh::WalkieConfig::multicastHost)) << "\n";
        return 0;
    }
    if (what == "no-daemon-probe") {
        hh::ManualExecutor executor;
        auto model = std::make_shared<hh::PermissionModel>(executor, std::make_shared<NoMicrophone>(), [] {
            return std::make_unique<hh::MulticastFallbackProbe>(std::make_unique<NoDaemonBrowser>(), [] {
                return hh::checkMulticastGroup(hh::WalkieConfig::multicastHost);
            });
        });
        model->start();
        executor.runUntilIdle();
        std::cout << name(model->localNetwork()) << "\n";
        return 0;
    }
    std::cerr << "usage: permission_lab_tool microphone|multicast|no-daemon-probe\n";
    return 2;
}
