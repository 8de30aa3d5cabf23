#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

namespace hh {

// The Wi-Fi network's name as a Qt property. `hasSsid` is false when there is
// no name at all; an empty name is still a name.
class NetworkNameObject : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasSsid READ hasSsid NOTIFY ssidChanged)
    Q_PROPERTY(QString ssid READ ssid NOTIFY ssidChanged)

public:
    using QObject::QObject;
    bool hasSsid() const { return hasSsid_; }
    const QString& ssid() const { return ssid_; }

signals:
    void ssidChanged();

protected:
    void publishSsid(bool present, QString name);

private:
    bool hasSsid_ = false;
    QString ssid_;
};

// The two permission statuses as Qt properties. A status is one of the words
// "granted", "denied", "notDetermined", "unknown", and for the microphone
// "unavailable" (no sound server) or "noDevice" (no input).
class PermissionObject : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString microphone READ microphone NOTIFY statusChanged)
    Q_PROPERTY(QString localNetwork READ localNetwork NOTIFY statusChanged)
    Q_PROPERTY(bool allGranted READ allGranted NOTIFY statusChanged)
    Q_PROPERTY(QStringList missingPermissions READ missingPermissions NOTIFY statusChanged)

public:
    using QObject::QObject;
    const QString& microphone() const { return microphone_; }
    const QString& localNetwork() const { return localNetwork_; }
    bool allGranted() const { return allGranted_; }
    const QStringList& missingPermissions() const { return missingPermissions_; }

    Q_INVOKABLE virtual void refresh() = 0;
    Q_INVOKABLE virtual void requestMicrophoneAccess() = 0;
    // Opens the desktop's privacy settings for the microphone or the local network.
    Q_INVOKABLE virtual void openPrivacySettings(bool localNetwork) = 0;

signals:
    void statusChanged();

protected:
    void publish(QString microphone, QString localNetwork, bool allGranted, QStringList missing);

private:
    QString microphone_ = QStringLiteral("unknown");
    QString localNetwork_ = QStringLiteral("unknown");
    bool allGranted_ = false;
    QStringList missingPermissions_;
};

// The in-process messages between the shell and the panel ("walkieOpenSettings").
class MessageCenter : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    Q_INVOKABLE void post(const QString& name) { emit posted(name); }
signals:
    void posted(const QString& name);
};

inline constexpr const char* openSettingsMessage = "walkieOpenSettings";

} // namespace hh
