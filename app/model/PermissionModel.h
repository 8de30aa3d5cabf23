#pragma once

#include "app/model/PermissionPlatform.h"
#include "core/exec/Executor.h"
#include "core/ptt/LocalNetworkAccess.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hh {

// Whether the program may use the microphone and the local network, as state
// for the user interface. Everything runs on the main executor; answers that
// arrive on other threads are moved there first. The local network is not
// checked here: the controller's answer is pushed in (setLocalNetworkAccess).
class PermissionModel : public std::enable_shared_from_this<PermissionModel> {
public:
    // `unavailable`: no sound server answers, so the microphone cannot be
    // checked; `noDevice`: the server has no input. Neither is for the user to grant.
    enum class Status { granted, denied, notDetermined, unknown, unavailable, noDevice };

    PermissionModel(Executor& mainExecutor, std::shared_ptr<MicrophoneAccess> microphone);

    PermissionModel(const PermissionModel&) = delete;
    PermissionModel& operator=(const PermissionModel&) = delete;

    // Called on the main executor after each assignment of a status, also when
    // the value stays the same.
    std::function<void()> onChange;

    // Completes construction: the first refresh().
    void start();
    // Re-reads the microphone authorization. The local network needs no
    // re-reading: the controller pushes each change of its answer.
    void refresh();
    // The controller's answer, on the main executor. Unknown says nothing about
    // the permission (a failure of another kind, a group being rebuilt): the
    // last definite answer stays.
    void setLocalNetworkAccess(LocalNetworkAccess access);
    // Asks for microphone access, then refreshes on the main executor.
    void requestMicrophoneAccess();

    Status microphone() const { return microphone_; }
    Status localNetwork() const { return localNetwork_; }
    bool allGranted() const;
    // Display names of what the user has to grant, in this order:
    // "Microphone", "Local Network".
    std::vector<std::string> missingPermissions() const;

private:
    void setMicrophone(Status status);
    void setLocalNetwork(Status status);

    Executor& executor_;
    std::shared_ptr<MicrophoneAccess> microphoneAccess_;
    Status microphone_ = Status::unknown;
    Status localNetwork_ = Status::unknown;
};

// How the platform's microphone authorization shows in the model.
PermissionModel::Status microphoneStatus(MicrophoneAuthorization authorization);

} // namespace hh
