#pragma once

#include "app/bridge/EnvironmentObjects.h"
#include "app/model/PermissionModel.h"
#include "app/model/PrivacySettings.h"
#include "core/env/NetworkNameMonitor.h"

#include <memory>

namespace hh {

// The network-name monitor as a Qt object. Both run on the main executor.
class MonitorNetworkName final : public NetworkNameObject {
    Q_OBJECT
public:
    // `main` is the executor the monitor runs on, kept alive as long as it.
    MonitorNetworkName(std::shared_ptr<NetworkNameMonitor> monitor, std::shared_ptr<Executor> main,
                       QObject* parent = nullptr);
    ~MonitorNetworkName() override;

private:
    void copy();
    std::shared_ptr<Executor> main_;
    std::shared_ptr<NetworkNameMonitor> monitor_;
};

// The permission model as a Qt object, with the privacy-settings opener.
class ModelPermissions final : public PermissionObject {
    Q_OBJECT
public:
    ModelPermissions(std::shared_ptr<PermissionModel> model, PrivacySettings settings, std::shared_ptr<Executor> main,
                     QObject* parent = nullptr);
    ~ModelPermissions() override;

    void refresh() override { model_->refresh(); }
    void requestMicrophoneAccess() override { model_->requestMicrophoneAccess(); }
    void openPrivacySettings(bool localNetwork) override { settings_.openPrivacySettings(localNetwork); }

    static QString statusName(PermissionModel::Status status);

private:
    void copy();
    std::shared_ptr<Executor> main_;
    std::shared_ptr<PermissionModel> model_;
    PrivacySettings settings_;
};

} // namespace hh
