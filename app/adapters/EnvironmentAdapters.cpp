#include "app/adapters/EnvironmentAdapters.h"

#include <QPointer>

namespace hh {

MonitorNetworkName::MonitorNetworkName(std::shared_ptr<NetworkNameMonitor> monitor, std::shared_ptr<Executor> main,
                                       QObject* parent)
    : NetworkNameObject(parent), main_(std::move(main)), monitor_(std::move(monitor)) {
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
    monitor_.reset(); // before the executor it runs on
}

void MonitorNetworkName::copy() {
    const auto& ssid = monitor_->ssid();
    publishSsid(ssid.has_value(), ssid ? QString::fromStdString(*ssid) : QString());
}

ModelPermissions::ModelPermissions(std::shared_ptr<PermissionModel> model, PrivacySettings settings,
                                   std::shared_ptr<Executor> main, QObject* parent)
    : PermissionObject(parent), main_(std::move(main)), model_(std::move(model)), settings_(std::move(settings)) {
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
    model_.reset(); // before the executor it runs on
}

QString ModelPermissions::statusName(PermissionModel::Status status) {
    switch (status) {
    case PermissionModel::Status::granted: return QStringLiteral("granted");
    case PermissionModel::Status::denied: return QStringLiteral("denied");
    case PermissionModel::Status::notDetermined: return QStringLiteral("notDetermined");
    case PermissionModel::Status::unavailable: return QStringLiteral("unavailable");
    case PermissionModel::Status::noDevice: return QStringLiteral("noDevice");
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
