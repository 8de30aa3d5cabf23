#include "app/bridge/EnvironmentObjects.h"

#include "app/bridge/DisplayText.h"

namespace hh {

void NetworkNameObject::publishSsid(bool present, QString name) {
    hasSsid_ = present;
    // Anyone nearby names a Wi-Fi network: shown like a peer's name, so it
    // cannot reverse or draw over the heading it sits in.
    ssid_ = present ? displayName(name) : QString();
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
