#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>

namespace hh {

// The push-to-talk controller's published state as Qt properties, for the
// panels and the status item. Subclasses feed it: the adapter over the real
// controller, or a fake in tests. Lives on the main thread.
class ControllerObject : public QObject {
    Q_OBJECT
    // Each entry is a map {id, name, label, spokenName, reach, isBeaconOnly}:
    // `name` exactly as received, `label` made safe to show (displayName()),
    // `spokenName` the same without isolating marks, `reach` one of
    // "heard", "notHeard", "notResponding". Sorted by the user's collation.
    Q_PROPERTY(QVariantList peers READ peers NOTIFY peersChanged)
    Q_PROPERTY(bool hasTalkingPeer READ hasTalkingPeer NOTIFY talkingPeerChanged)
    Q_PROPERTY(QString talkingPeerName READ talkingPeerName NOTIFY talkingPeerChanged)
    // Everyone talking, in the order they began, and the sentence that says so.
    Q_PROPERTY(QStringList talkingPeerNames READ talkingPeerNames NOTIFY talkingPeerChanged)
    Q_PROPERTY(QString talkersText READ talkersText NOTIFY talkingPeerChanged)
    // The talker's name made safe to show.
    Q_PROPERTY(QString talkingPeerLabel READ talkingPeerLabel NOTIFY talkingPeerChanged)
    // Our own packets stopped coming back: incoming audio is blocked here.
    Q_PROPERTY(bool isInboundBlocked READ isInboundBlocked NOTIFY isInboundBlockedChanged)
    Q_PROPERTY(bool isTransmitting READ isTransmitting NOTIFY isTransmittingChanged)
    Q_PROPERTY(QString connectionState READ connectionState NOTIFY connectionStateChanged)
    Q_PROPERTY(bool isMuted READ isMuted WRITE setMuted NOTIFY isMutedChanged)

public:
    using QObject::QObject;

    const QVariantList& peers() const { return peers_; }
    bool hasTalkingPeer() const { return hasTalkingPeer_; }
    const QString& talkingPeerName() const { return talkingPeerName_; }
    const QStringList& talkingPeerNames() const { return talkingPeerNames_; }
    // "Ada is talking…", "Ada and Bob are talking…", "Ada and 2 others are talking…"; empty for nobody.
    QString talkersText() const;
    QString talkingPeerLabel() const;
    bool isInboundBlocked() const { return isInboundBlocked_; }
    bool isTransmitting() const { return isTransmitting_; }
    const QString& connectionState() const { return connectionState_; }
    bool isMuted() const { return isMuted_; }

    virtual void setMuted(bool muted) = 0;
    Q_INVOKABLE virtual void start() = 0;
    Q_INVOKABLE virtual void beginTalking() = 0;
    Q_INVOKABLE virtual void endTalking() = 0;
    Q_INVOKABLE virtual void refreshTransport() = 0;

signals:
    void peersChanged();
    void talkingPeerChanged();
    void isTransmittingChanged();
    void connectionStateChanged();
    void isMutedChanged();
    void isInboundBlockedChanged();

protected:
    // Each setter notifies on every call: the controller reports every
    // assignment, and observers re-read the state.
    void publishPeers(QVariantList peers);
    // `names` in the order they began; `latest`, the most recent, shown where one name fits.
    void publishTalkingPeers(QStringList names, QString latest);
    void publishTalkingPeer(bool present, QString name);
    void publishTransmitting(bool value);
    void publishConnectionState(QString value);
    void publishMuted(bool value);
    void publishInboundBlocked(bool value);

private:
    QVariantList peers_;
    bool hasTalkingPeer_ = false;
    QString talkingPeerName_;
    QStringList talkingPeerNames_;
    bool isTransmitting_ = false;
    QString connectionState_ = QStringLiteral("starting\u2026");
    bool isMuted_ = false;
    bool isInboundBlocked_ = false;
};

} // namespace hh
