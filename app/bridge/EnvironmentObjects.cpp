#include "app/bridge/EnvironmentObjects.h"

namespace hh {

void NetworkNameObject::publishSsid(bool present, QString name) {
    hasSsid_ = present;
    ssid_ = present ? std::move(name) : QString();
    emit ssidChanged();
}

void PermissionObject::publish(QString microphone, QString localNetwork, bool allGranted, QStringList missing) {
    microphone_ = std::move(microphone);
    localNetwork_ = std::move(localNetwork);
    allGranted_ = allGranted;
    missingPermissions_ = std::move(missing);
    emit statusChanged();
}

} // namespace hh
