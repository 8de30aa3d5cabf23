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
    case MicrophoneAuthorization::noDevice: return PermissionModel::Status::noDevice;
    default: return PermissionModel::Status::unknown;
    }
}

PermissionModel::PermissionModel(Executor& mainExecutor, std::shared_ptr<MicrophoneAccess> microphone)
    : executor_(mainExecutor), microphoneAccess_(std::move(microphone)) {}

void PermissionModel::start() {
    refresh();
}

void PermissionModel::refresh() {
    setMicrophone(microphoneStatus(microphoneAccess_->status()));
}

void PermissionModel::setLocalNetworkAccess(LocalNetworkAccess access) {
    switch (access) {
    case LocalNetworkAccess::granted: setLocalNetwork(Status::granted); break;
    case LocalNetworkAccess::denied: setLocalNetwork(Status::denied); break;
    case LocalNetworkAccess::unknown: break;
    }
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

void PermissionModel::setMicrophone(Status status) {
    microphone_ = status;
    if (onChange) onChange();
}

void PermissionModel::setLocalNetwork(Status status) {
    localNetwork_ = status;
    if (onChange) onChange();
}

} // namespace hh
