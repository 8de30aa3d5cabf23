#include "app/model/PermissionModel.h"

#include <utility>

namespace hh {

PermissionModel::Status microphoneStatus(MicrophoneAuthorization authorization) {
    switch (authorization) {
    case MicrophoneAuthorization::authorized: return PermissionModel::Status::granted;
    case MicrophoneAuthorization::restricted:
    case MicrophoneAuthorization::denied: return PermissionModel::Status::denied;
    case MicrophoneAuthorization::notDetermined: return PermissionModel::Status::notDetermined;
    case MicrophoneAuthorization::unavailable: return PermissionModel::Status::unavailable;
    default: return PermissionModel::Status::unknown;
    }
}

PermissionModel::PermissionModel(Executor& mainExecutor, std::shared_ptr<MicrophoneAccess> microphone,
                                 LocalNetworkProbeFactory makeProbe)
    : executor_(mainExecutor), microphoneAccess_(std::move(microphone)), makeProbe_(std::move(makeProbe)) {}

PermissionModel::~PermissionModel() {
    if (localNetworkProbe_) localNetworkProbe_->cancel();
}

void PermissionModel::start() {
    refresh();
}

void PermissionModel::refresh() {
    setMicrophone(microphoneStatus(microphoneAccess_->status()));
    startLocalNetworkProbe(true);
}

void PermissionModel::requestMicrophoneAccess() {
    // The answer itself is not used: the refresh reads the status again.
    microphoneAccess_->requestAccess([weak = weak_from_this(), &executor = executor_](bool) {
        executor.post([weak] {
            if (auto self = weak.lock()) self->refresh();
        });
    });
}

bool PermissionModel::allGranted() const {
    return microphone_ == Status::granted && localNetwork_ == Status::granted;
}

std::vector<std::string> PermissionModel::missingPermissions() const {
    std::vector<std::string> missing;
    if (microphone_ == Status::denied || microphone_ == Status::notDetermined) missing.emplace_back("Microphone");
    if (localNetwork_ == Status::denied) missing.emplace_back("Local Network");
    return missing;
}

void PermissionModel::startLocalNetworkProbe(bool restart) {
    if (restart) {
        // The old probe is cancelled before the new one exists, so two never
        // run side by side.
        if (localNetworkProbe_) localNetworkProbe_->cancel();
        localNetworkProbe_.reset();
    }
    if (localNetworkProbe_) return;
    auto probe = makeProbe_();
    if (!probe) return;
    // Reports may come on any thread; each is applied one step later here.
    probe->onState = [weak = weak_from_this(), &executor = executor_](LocalNetworkProbeState state) {
        executor.post([weak, state = std::move(state)] {
            if (auto self = weak.lock()) self->applyProbeState(state);
        });
    };
    probe->start();
    localNetworkProbe_ = std::move(probe);
}

void PermissionModel::applyProbeState(const LocalNetworkProbeState& state) {
    using Kind = LocalNetworkProbeState::Kind;
    if (state.kind == Kind::ready) {
        setLocalNetwork(Status::granted);
    } else if (state.kind == Kind::waiting && state.dnsSdError == LocalNetworkProbeState::policyDenied) {
        setLocalNetwork(Status::denied);
    }
    // Anything else says nothing about the permission.
}

void PermissionModel::setMicrophone(Status status) {
    microphone_ = status;
    if (onChange) onChange();
}

void PermissionModel::setLocalNetwork(Status status) {
    localNetwork_ = status;
    if (onChange) onChange();
}

} // namespace hh
