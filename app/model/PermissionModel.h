#pragma once

#include "app/model/PermissionPlatform.h"
#include "core/exec/Executor.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hh {

// Whether the program may use the microphone and the local network, as state
// for the user interface. Everything runs on the main executor; answers that
// arrive on other threads are moved there first.
class PermissionModel : public std::enable_shared_from_this<PermissionModel> {
public:
    // `unavailable`: no sound server answers, so the microphone cannot be checked.
    enum class Status { granted, denied, notDetermined, unknown, unavailable };

    PermissionModel(Executor& mainExecutor, std::shared_ptr<MicrophoneAccess> microphone,
                    LocalNetworkProbeFactory makeProbe);
    // Cancels the running probe.
    ~PermissionModel();

    PermissionModel(const PermissionModel&) = delete;
    PermissionModel& operator=(const PermissionModel&) = delete;

    // Called on the main executor after each assignment of a status, also when
    // the value stays the same.
    std::function<void()> onChange;

    // Completes construction: the first refresh().
    void start();
    // Re-reads the microphone authorization and restarts the local-network
    // probe; `localNetwork` keeps its value until the new probe answers.
    void refresh();
    // Asks for microphone access, then refreshes on the main executor.
    void requestMicrophoneAccess();

    Status microphone() const { return microphone_; }
    Status localNetwork() const { return localNetwork_; }
    bool allGranted() const;
    // Display names of what the user has to grant, in this order:
    // "Microphone", "Local Network".
    std::vector<std::string> missingPermissions() const;

private:
    void startLocalNetworkProbe(bool restart);
    void applyProbeState(const LocalNetworkProbeState& state);
    void setMicrophone(Status status);
    void setLocalNetwork(Status status);

    Executor& executor_;
    std::shared_ptr<MicrophoneAccess> microphoneAccess_;
    LocalNetworkProbeFactory makeProbe_;
    Status microphone_ = Status::unknown;
    Status localNetwork_ = Status::unknown;
    std::unique_ptr<LocalNetworkProbe> localNetworkProbe_;
};

// How the platform's microphone authorization shows in the model.
PermissionModel::Status microphoneStatus(MicrophoneAuthorization authorization);

} // namespace hh
