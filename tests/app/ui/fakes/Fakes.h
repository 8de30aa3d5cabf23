#pragma once

#include "app/bridge/ControllerObject.h"
#include "app/bridge/EnvironmentObjects.h"
#include "app/bridge/HotkeyObject.h"

#include <QStringList>
#include <functional>

namespace hh {

// What the user interface asked a fake for, in order; `onEvent` sees each
// call as it happens, for programs that log them.
struct EventLog {
    QStringList events;
    std::function<void(const QString&)> onEvent;
    void record(const QString& event) {
        events << event;
        if (onEvent)
            onEvent(event);
    }
};

// Stand-in for the controller: the tests set the published state.
class FakeController : public ControllerObject {
    Q_OBJECT
public:
    using ControllerObject::ControllerObject;

    void setMuted(bool muted) override {
        publishMuted(muted);
        log.record(muted ? QStringLiteral("muted 1") : QStringLiteral("muted 0"));
    }
    void setCuesEnabled(bool enabled) override { log.record(QStringLiteral("cues %1").arg(int(enabled))); }
    void setNoiseSuppression(bool enabled) override {
        log.record(QStringLiteral("noiseSuppression %1").arg(int(enabled)));
    }
    void start() override { log.record(QStringLiteral("start")); }
    // Like the real controller, the transmitting flag follows at once.
    void beginTalking() override {
        publishTransmitting(true);
        log.record(QStringLiteral("beginTalking"));
    }
    // Refused for a peer listed as not heard, or not listed at all.
    QString beginTalkingTo(const QString& name) override {
        log.record(QStringLiteral("beginTalkingTo ") + name);
        for (const QVariant& peer : peers()) {
            const QVariantMap map = peer.toMap();
            if (map.value(QStringLiteral("name")).toString() != name) continue;
            if (map.value(QStringLiteral("reach"), QStringLiteral("heard")).toString() != QLatin1String("heard"))
                return QStringLiteral("notReachable");
            publishTransmitting(true);
            return {};
        }
        return QStringLiteral("unknownPeer");
    }
    QString beginReply() override {
        log.record(QStringLiteral("beginReply"));
        if (replyName().isEmpty()) return QStringLiteral("nobodyToReply");
        publishTransmitting(true);
        return {};
    }
    Q_INVOKABLE void setReplyName(const QString& name) { publishReplyName(name); }
    void playMessage(double id) override { log.record(QStringLiteral("playMessage %1").arg(id)); }
    void markMessagesHeard() override {
        QVariantList heard;
        for (const QVariant& m : recentMessages()) {
            QVariantMap map = m.toMap();
            map.insert(QStringLiteral("isUnheard"), false);
            heard.append(map);
        }
        publishRecentMessages(heard);
    }
    // Entries {id, name, isToUs, endedAt, seconds, isUnheard}, newest first.
    Q_INVOKABLE void setRecentMessages(const QVariantList& messages) { publishRecentMessages(messages); }
    void endTalking() override {
        publishTransmitting(false);
        log.record(QStringLiteral("endTalking"));
    }
    void refreshTransport() override { log.record(QStringLiteral("refreshTransport")); }

    Q_INVOKABLE int count(const QString& event) const { return int(log.events.count(event)); }
    // Peer names; each becomes {id: name, name: name}.
    Q_INVOKABLE void setPeerNames(const QStringList& names);
    // Entries {name, reach}; id defaults to the name.
    Q_INVOKABLE void setPeers(const QVariantList& peers);
    Q_INVOKABLE void setInboundBlocked(bool value) { publishInboundBlocked(value); }
    Q_INVOKABLE void setTalkingPeer(const QString& name) { publishTalkingPeer(true, name); }
    Q_INVOKABLE void clearTalkingPeer() { publishTalkingPeer(false, {}); }
    // Several talkers, in the order they began; the last began most recently.
    Q_INVOKABLE void setTalkingPeers(const QStringList& names) { publishTalkingPeers(names, names.value(names.size() - 1)); }
    // One talker, talking to us alone.
    Q_INVOKABLE void setTalkingToUs(const QString& name) { publishTalkingPeers({name}, name, true); }
    Q_INVOKABLE void setTransmitting(bool value) { publishTransmitting(value); }
    Q_INVOKABLE void setWrongPassphrase(bool value) { publishWrongPassphrase(value); }
    // `kind` names a ConnectionState::Kind: "ready", "networkError"...
    Q_INVOKABLE void setConnectionState(const QString& kind, const QString& detail = {});

    EventLog log;
};

class FakeNetworkName : public NetworkNameObject {
    Q_OBJECT
public:
    using NetworkNameObject::NetworkNameObject;
    Q_INVOKABLE void setSsid(const QString& name) { publishSsid(true, name); }
};

// Derives allGranted and the missing names by the permission model's rules.
class FakePermissions : public PermissionObject {
    Q_OBJECT
public:
    using PermissionObject::PermissionObject;

    void refresh() override { log.record(QStringLiteral("refresh")); }
    void requestMicrophoneAccess() override { log.record(QStringLiteral("requestMicrophoneAccess")); }
    void openPrivacySettings(bool localNetwork) override {
        log.record(QStringLiteral("openPrivacySettings %1").arg(int(localNetwork)));
    }

    Q_INVOKABLE int count(const QString& event) const { return int(log.events.count(event)); }
    Q_INVOKABLE QStringList events() const { return log.events; }
    Q_INVOKABLE void setStatuses(const QString& microphone, const QString& localNetwork);

    EventLog log;
};

// Stand-in for the global key: takes any chord but those another program holds.
class FakeHotkey : public HotkeyObject {
    Q_OBJECT
public:
    using HotkeyObject::HotkeyObject;
    void setKey(const QString& chord) override {
        publishKey(chord);
        publishStatus(chord.isEmpty() ? Status::off : takenKeys.contains(chord) ? Status::conflict : Status::ready);
    }
    Q_INVOKABLE void setTakenKeys(const QStringList& keys) { takenKeys = keys; }

    QStringList takenKeys;
};

// For QML tests: registers the fakes as Hollerhopper.Fakes 1.0.
void registerFakeTypes();

} // namespace hh
