#include "app/core/EnvironmentAdapters.h"

#include <QPointer>

namespace hh {

MonitorNetworkName::MonitorNetworkName(std::shared_ptr<NetworkNameMonitor> monitor, QObject* parent)
    : NetworkNameObject(parent), monitor_(std::move(monitor)) {
    QPointer<MonitorNetworkName> self = this;
    monitor_->onChange = [self] {
        if (self)
            self->copy();
    };
    monitor_->start();
    copy();
}

MonitorNetworkName::~MonitorNetworkName() {
    monitor_->onChange = nullptr;
}

void MonitorNetworkName::copy() {
    const auto& ssid = monitor_->ssid();
    publishSsid(ssid.has_value(), ssid ? QString::fromStdString(*ssid) : QString());
}

ModelPermissions::ModelPermissions(std::shared_ptr<PermissionModel> model, PrivacySettings settings, QObject* parent)
    : PermissionObject(parent), model_(std::move(model)), settings_(std::move(settings)) {
    QPointer<ModelPermissions> self = this;
    model_->onChange = [self] {
        if (self)
            self->copy();
    };
    model_->start();
    copy();
}

ModelPermissions::~ModelPermissions() {
    model_->onChange = nullptr;
}

QString ModelPermissions::statusName(PermissionModel::Status status) {
    switch (status) {
    case PermissionModel::Status::granted: return QStringLiteral("granted");
    case PermissionModel::Status::denied: return QStringLiteral("denied");
    case PermissionModel::Status::notDetermined: return QStringLiteral("notDetermined");
    case PermissionModel::Status::unknown: break;
    }
    return QStringLiteral("unknown");
}

void ModelPermissions::copy() {
    QStringList missing;
    for (const std::string& name : model_->missingPermissions())
        missing << QString::fromStdString(name);
    publish(statusName(model_->microphone()), statusName(model_->localNetwork()), model_->allGranted(), missing);
}

} // namespace hh
