#pragma once

#include "app/bridge/ControllerObject.h"
#include "app/bridge/EnvironmentObjects.h"

#include <QStringList>
#include <functional>

namespace hh {

// Stand-ins for the controller and the environment models: the tests set the
// published state and count what the user interface asks for. `onEvent`
// reports each call by name, for programs that log them.
class FakeController : public ControllerObject {
    Q_OBJECT
    Q_PROPERTY(int startCount MEMBER startCount NOTIFY countsChanged)
    Q_PROPERTY(int beginCount MEMBER beginCount NOTIFY countsChanged)
    Q_PROPERTY(int endCount MEMBER endCount NOTIFY countsChanged)
    Q_PROPERTY(int refreshCount MEMBER refreshCount NOTIFY countsChanged)
public:
    using ControllerObject::ControllerObject;

    void setMuted(bool muted) override;
    void start() override;
    void beginTalking() override;
    void endTalking() override;
    void refreshTransport() override;

    // Peer names; each becomes {id: name, name: name}.
    Q_INVOKABLE void setPeerNames(const QStringList& names);
    Q_INVOKABLE void setTalkingPeer(const QString& name) { publishTalkingPeer(true, name); }
    Q_INVOKABLE void clearTalkingPeer() { publishTalkingPeer(false, {}); }
    Q_INVOKABLE void setTransmitting(bool value) { publishTransmitting(value); }
    Q_INVOKABLE void setConnectionState(const QString& value) { publishConnectionState(value); }
    Q_INVOKABLE void resetCounts();

    int startCount = 0;
    int beginCount = 0;
    int endCount = 0;
    int refreshCount = 0;
    std::function<void(const QString&)> onEvent;

signals:
    void countsChanged();

private:
    void record(const QString& event);
};

class FakeNetworkName : public NetworkNameObject {
    Q_OBJECT
public:
    using NetworkNameObject::NetworkNameObject;
    Q_INVOKABLE void setSsid(const QString& name) { publishSsid(true, name); }
    Q_INVOKABLE void clearSsid() { publishSsid(false, {}); }
};

// Derives allGranted and the missing names by the permission model's rules.
class FakePermissions : public PermissionObject {
    Q_OBJECT
    Q_PROPERTY(int refreshCount MEMBER refreshCount NOTIFY countsChanged)
    Q_PROPERTY(int requestCount MEMBER requestCount NOTIFY countsChanged)
    Q_PROPERTY(QVariantList openedSettings MEMBER openedSettings NOTIFY countsChanged)
public:
    using PermissionObject::PermissionObject;

    void refresh() override;
    void requestMicrophoneAccess() override;
    void openPrivacySettings(bool localNetwork) override;

    Q_INVOKABLE void setStatuses(const QString& microphone, const QString& localNetwork);
    Q_INVOKABLE void resetCounts();

    int refreshCount = 0;
    int requestCount = 0;
    // One entry per opening: true for the local-network anchor.
    QVariantList openedSettings;
    std::function<void(const QString&)> onEvent;

signals:
    void countsChanged();
};

// For QML tests: registers the fakes as Hollerhopper.Fakes 1.0.
void registerFakeTypes();

} // namespace hh
