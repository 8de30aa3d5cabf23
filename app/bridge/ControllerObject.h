#pragma once

#include "core/ptt/ConnectionState.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <optional>

namespace hh {

// The push-to-talk controller's published state as Qt properties, for the
// panels and the status item. Subclasses feed it: the adapter over the real
// controller, or a fake in tests. Lives on the main thread.
class ControllerObject : public QObject {
    Q_OBJECT
    // Each entry is a map {id, name, label, spokenName, reach, isBeaconOnly,
    // isTalkingToUs}: `name` exactly as received, `label` made safe to show
    // (displayName()), `spokenName` the same without isolating marks, `reach`
    // one of "heard", "notHeard", "notResponding". Sorted as people count.
    Q_PROPERTY(QVariantList peers READ peers NOTIFY peersChanged)
    Q_PROPERTY(bool hasTalkingPeer READ hasTalkingPeer NOTIFY talkingPeerChanged)
    Q_PROPERTY(QString talkingPeerName READ talkingPeerName NOTIFY talkingPeerChanged)
    // The one talker talks to us alone ("Kitchen is talking to you").
    Q_PROPERTY(bool isTalkingToUs READ isTalkingToUs NOTIFY talkingPeerChanged)
    // Whom Reply talks to (the last one who talked to us alone, for a minute
    // after); empty when nobody.
    Q_PROPERTY(QString replyName READ replyName NOTIFY replyNameChanged)
    // What others said lately, newest first: maps {id, name, label, isToUs,
    // endedAt (ms since the epoch), seconds, isUnheard}.
    Q_PROPERTY(QVariantList recentMessages READ recentMessages NOTIFY recentMessagesChanged)
    // Some were received while muted and the panel has not been opened since.
    Q_PROPERTY(bool hasUnheardMessages READ hasUnheardMessages NOTIFY recentMessagesChanged)
    // Everyone talking, in the order they began, and the sentence that says so.
    Q_PROPERTY(QStringList talkingPeerNames READ talkingPeerNames NOTIFY talkingPeerChanged)
    Q_PROPERTY(QString talkersText READ talkersText NOTIFY talkingPeerChanged)
    // The talker's name made safe to show.
    Q_PROPERTY(QString talkingPeerLabel READ talkingPeerLabel NOTIFY talkingPeerChanged)
    // Our own packets stopped coming back: incoming audio is blocked here.
    Q_PROPERTY(bool isInboundBlocked READ isInboundBlocked NOTIFY isInboundBlockedChanged)
    Q_PROPERTY(bool isTransmitting READ isTransmitting NOTIFY isTransmittingChanged)
    // The connection in the words shown to the user ("Ready").
    Q_PROPERTY(QString connectionState READ connectionState NOTIFY connectionStateChanged)
    // The sound services fail (no sound server, a silent microphone...).
    Q_PROPERTY(bool hasAudioError READ hasAudioError NOTIFY connectionStateChanged)
    // No usable network interface: nothing can be sent or heard.
    Q_PROPERTY(bool hasNoNetwork READ hasNoNetwork NOTIFY connectionStateChanged)
    // Why the last press did not go on air, as a sentence; empty when it did.
    Q_PROPERTY(QString talkFailure READ talkFailureText NOTIFY talkFailureChanged)
    // The network or the sound services fail: what the connection says comes first.
    Q_PROPERTY(bool hasConnectionError READ hasConnectionError NOTIFY connectionStateChanged)
    Q_PROPERTY(bool isMuted READ isMuted WRITE setMuted NOTIFY isMutedChanged)
    // The name others see; a change is advertised at once and sent with the next talk start.
    Q_PROPERTY(QString displayName READ displayName WRITE setDisplayName NOTIFY displayNameChanged)
    // The channel we are on: "Everyone" (open) or a private channel's name.
    Q_PROPERTY(QString channelName READ channelName NOTIFY channelChanged)
    Q_PROPERTY(bool isChannelPrivate READ isChannelPrivate NOTIFY channelChanged)
    // Someone nearby sends on our private channel with another passphrase.
    Q_PROPERTY(bool isWrongPassphrase READ isWrongPassphrase NOTIFY isWrongPassphraseChanged)

public:
    using QObject::QObject;

    const QVariantList& peers() const { return peers_; }
    bool hasTalkingPeer() const { return hasTalkingPeer_; }
    const QString& talkingPeerName() const { return talkingPeerName_; }
    const QStringList& talkingPeerNames() const { return talkingPeerNames_; }
    bool isTalkingToUs() const { return isTalkingToUs_; }
    const QString& replyName() const { return replyName_; }
    const QVariantList& recentMessages() const { return recentMessages_; }
    bool hasUnheardMessages() const;
    // "Ada is talking…", "Ada and Bob are talking…", "Ada and 2 others are talking…"; empty for nobody.
    QString talkersText() const;
    QString talkingPeerLabel() const;
    bool isInboundBlocked() const { return isInboundBlocked_; }
    bool isTransmitting() const { return isTransmitting_; }
    QString connectionState() const;
    bool hasAudioError() const { return connectionState_.kind == ConnectionState::Kind::audioError; }
    bool hasNoNetwork() const { return connectionState_.kind == ConnectionState::Kind::noNetwork; }
    QString talkFailureText() const;
    bool hasConnectionError() const {
        return hasAudioError() || hasNoNetwork() || connectionState_.kind == ConnectionState::Kind::networkError;
    }
    bool isMuted() const { return isMuted_; }
    const QString& displayName() const { return displayName_; }
    const QString& channelName() const { return channelName_; }
    bool isChannelPrivate() const { return isChannelPrivate_; }
    bool isWrongPassphrase() const { return isWrongPassphrase_; }

    // The user's choice of channel: a name and a passphrase for a private one,
    // an empty passphrase (and "Everyone" or no name) for the open one. False,
    // with nothing changed, for a name without a passphrase or a name the
    // network cannot carry. Announced through channelChosen, then applied.
    Q_INVOKABLE bool setChannel(const QString& name, const QString& passphrase);
    static bool isUsableChannelName(const QString& name);

    virtual void setMuted(bool muted) = 0;
    // Ignores an empty name or one longer than 63 bytes of UTF-8 (what DNS-SD carries).
    virtual void setDisplayName(const QString& name);
    static bool isUsableDisplayName(const QString& name);
    // The sound switches: talk cues on the speaker, noise suppression on the
    // microphone. Not shown in the panels, so no properties.
    virtual void setCuesEnabled(bool enabled) = 0;
    virtual void setNoiseSuppression(bool enabled) = 0;
    Q_INVOKABLE virtual void start() = 0;
    Q_INVOKABLE virtual void beginTalking() = 0;
    // A press to the peer listed as `name` alone: "" when it went out, else why
    // it was refused ("unknownPeer", "notReachable"); endTalking() releases it.
    Q_INVOKABLE virtual QString beginTalkingTo(const QString& name) = 0;
    // The same to replyName's peer ("nobodyToReply" once the minute is over).
    Q_INVOKABLE virtual QString beginReply() = 0;
    // Plays a recent message on this computer's speaker only.
    Q_INVOKABLE virtual void playMessage(double id) = 0;
    // The panel was opened: nothing is unheard any more.
    Q_INVOKABLE virtual void markMessagesHeard() = 0;
    Q_INVOKABLE virtual void endTalking() = 0;
    Q_INVOKABLE virtual void refreshTransport() = 0;

signals:
    void peersChanged();
    void talkingPeerChanged();
    void isTransmittingChanged();
    void connectionStateChanged();
    void isMutedChanged();
    void displayNameChanged();
    void isInboundBlockedChanged();
    void replyNameChanged();
    void recentMessagesChanged();
    void talkFailureChanged();
    void channelChanged();
    void isWrongPassphraseChanged();
    // Emitted by setChannel() for a usable choice, before it is applied: for
    // whoever keeps it. An open channel comes with an empty passphrase.
    void channelChosen(const QString& name, const QString& passphrase);

protected:
    // Each setter notifies on every call: the controller reports every
    // assignment, and observers re-read the state.
    void publishPeers(QVariantList peers);
    // `names` in the order they began; `latest`, the most recent, shown where
    // one name fits; `isLatestToUs`, whether it talks to us alone.
    void publishTalkingPeers(QStringList names, QString latest, bool isLatestToUs = false);
    void publishTalkingPeer(bool present, QString name);
    void publishTransmitting(bool value);
    void publishConnectionState(ConnectionState value);
    void publishMuted(bool value);
    void publishDisplayName(QString value);
    void publishInboundBlocked(bool value);
    void publishReplyName(QString value);
    void publishRecentMessages(QVariantList messages);
    void publishTalkFailure(std::optional<TalkFailure> value);
    void publishChannel(QString name, bool isPrivate);
    void publishWrongPassphrase(bool value);
    // Puts the chosen channel into effect; publishes it once it is. Here:
    // at once, as given (for stand-ins).
    virtual void applyChannel(const QString& name, const QString& passphrase);

private:
    std::optional<TalkFailure> talkFailure_;
    QVariantList peers_;
    bool hasTalkingPeer_ = false;
    QString talkingPeerName_;
    QStringList talkingPeerNames_;
    bool isTalkingToUs_ = false;
    QString replyName_;
    QVariantList recentMessages_;
    bool isTransmitting_ = false;
    ConnectionState connectionState_;
    bool isMuted_ = false;
    QString displayName_;
    bool isInboundBlocked_ = false;
    QString channelName_ = QStringLiteral("Everyone");
    bool isChannelPrivate_ = false;
    bool isWrongPassphrase_ = false;
};

} // namespace hh
