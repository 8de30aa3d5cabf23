#pragma once

#include "core/audio/AudioPlatform.h"
#include "core/audio/CuePlayer.h"
#include "core/audio/PlayoutMixer.h"
#include "core/audio/SpeechCodec.h"
#include "core/exec/Executor.h"
#include "core/exec/OneShotTimer.h"
#include "core/net/Discovery.h"
#include "core/net/DnsSdPlatform.h"
#include "core/net/Peer.h"
#include "core/net/Transport.h"
#include "core/ptt/ConnectionState.h"
#include "core/ptt/LocalNetworkAccess.h"
#include "core/ptt/PeerEncodings.h"
#include "core/wire/Uuid.h"

#include "core/ptt/RecentMessages.h"
#include "core/ptt/Roster.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace hh {

class AudioEngine;

// Runs push-to-talk for the application: owns the transport, the audio engine,
// discovery and the roster of peers they feed, turns presses into talk start,
// audio and talk end packets (to the group, or to one peer alone) and plays
// what others send.
// Every public operation and every change of published state happens on the
// main executor.
class PTTController : public std::enable_shared_from_this<PTTController> {
public:
    // The published properties, named in change notifications.
    enum class Property { peers, talkingPeerName, isTransmitting, connectionState, isRunning, isMuted, isInboundBlocked, talkingPeerNames,
                          localNetworkAccess, talkFailure, audioError, channel, isWrongPassphrase, recentMessages,
                          replyName };

    // Where the controller runs, and the platform services its components use
    // (each on the executor it was made for). The Linux factory fills this;
    // tests use fakes and virtual time.
    struct Components {
        std::shared_ptr<Executor> main;
        std::shared_ptr<NetworkPlatform> network;
        std::unique_ptr<AudioPlatform> audio;
        std::shared_ptr<DnsSdPlatform> dnsSd;
    };

    PTTController(std::string displayName, Uuid senderID, Components components);
    ~PTTController();

    // Called on the main executor after each change of a published property.
    std::function<void(Property)> onChange;
    // Called on the main executor once a talk end is handed to the transport,
    // with the number of audio frames the spurt sent: after a release's tail,
    // or at once when stop() ends a press.
    std::function<void(std::uint32_t frameCount)> onTalkEndSent;
    // Called on the main executor for each talk cue as it starts playing.
    std::function<void(Cue)> onCue;
    // Called on the main executor with each packet from another sender, before
    // it is handled: for a recorder, which then needs no socket of its own.
    // Compressed audio is followed by its decoded frames, as audio packets.
    std::function<void(const WalkiePacket&, const DatagramOrigin&)> onPacketHeard;

    // Published state.
    const std::vector<Peer>& peers() const { return roster_->peers(); }
    // Everything known about the others; changes show as the properties above.
    const Roster& roster() const { return *roster_; }
    // What others said lately, in memory only; those heard while muted are
    // unheard until markMessagesHeard().
    const RecentMessages& recentMessages() const { return recent_; }
    void markMessagesHeard() { recent_.markAllHeard(); }
    // Plays a recent message on this computer's speaker (never sent anywhere),
    // in place of one playing; false when it is no longer kept.
    bool playMessage(std::uint64_t id);
    // Whom beginReply() talks to: the last direct talker, while the reply
    // window after their spurt lasts.
    const std::optional<std::string>& replyName() const { return replyName_; }
    // The talker who began most recently, and everyone talking in the order they began.
    const std::optional<std::string>& talkingPeerName() const { return talkingPeerName_; }
    const std::vector<std::string>& talkingPeerNames() const { return talkingPeerNames_; }
    bool isTransmitting() const { return isTransmitting_; }
    const ConnectionState& connectionState() const { return connectionState_; }
    // Why the last press did not go on air; cleared by a press that does, and
    // once the connection is ready with working audio again.
    const std::optional<TalkFailure>& talkFailure() const { return talkFailure_; }
    // The audio platform's own report: nothing while audio works.
    const std::optional<std::string>& audioError() const { return audioError_; }
    bool isRunning() const { return isRunning_; }
    bool isMuted() const { return isMuted_; }
    // What playback has learned of a talker's path (see PlayoutMixer).
    std::optional<TalkerPlayout> playout(const Uuid& talker) const;
    void setMuted(bool muted);
    // Our own packets stopped coming back while on air: incoming audio is
    // blocked on this computer (a local firewall, typically).
    bool isInboundBlocked() const;
    // DNS-SD browsing grants and its refusal denies; without a DNS-SD daemon
    // the group's join answers: joined grants, refused by the system denies.
    // Unknown before both have reported, after other failures, while the group
    // is being set up. Follows every change, so it is never stale.
    LocalNetworkAccess localNetworkAccess() const { return localNetworkAccess_; }

    // Talk cues on this computer's speaker (on by default); Mute silences
    // only the "incoming" ones.
    void setCuesEnabled(bool enabled) { isCuesEnabled_ = enabled; }
    bool isCuesEnabled() const { return isCuesEnabled_; }
    // Noise suppression and level control of the microphone (on by default).
    void setNoiseSuppression(bool enabled);
    bool isNoiseSuppressing() const;

    // How spurts are sent from the next press on (automatic by default).
    void setCodecChoice(CodecChoice choice) { codecChoice_ = choice; }
    // Off: this instance stands in for an older build: it announces no
    // encodings, ignores compressed audio and sends PCM only. Before start().
    void setDecodesOpus(bool decodes) { isDecodingOpus_ = decodes; }
    bool isDecodingOpus() const { return isDecodingOpus_; }
    // Who is known and who of them cannot play compressed speech (see PeerEncodings).
    PeerEncodings::Verdict peerEncodings() const;
    // What a press now would send.
    AudioEncoding nextSpurtEncoding() const;

    const std::string& displayName() const { return displayName_; }
    // The name others see, from now on: discovery advertises it again and the
    // next talk start carries it. A talk start already sent keeps the old one.
    void setDisplayName(std::string displayName);
    const Uuid& senderID() const { return senderID_; }

    // Before start(): a one-shot sender is not advertised over DNS-SD (it still
    // browses, to find whom it talks to).
    void setAdvertised(bool isAdvertised);
    // The one channel we are on; the open one unless set. A switch takes effect
    // at once: a press in progress ends on the old channel (its talk end goes
    // there), everything after goes to the new one. On a private channel this
    // instance neither advertises nor browses DNS-SD: peers are those whose
    // beacons authenticate.
    const Channel& channel() const { return channel_; }
    void setChannel(Channel channel);
    // Someone nearby sends on our private channel with another passphrase.
    bool isWrongPassphrase() const { return isWrongPassphrase_; }

    void start();
    void stop();
    // A press to everyone: on air (talk start, capture, the "on air" cue) when
    // the connection is ready and the microphone starts; otherwise nothing is
    // sent, the "failed" cue plays and talkFailure() says why.
    void beginTalking();
    // Why a press to one peer was refused: it plays the failed cue and sends nothing.
    enum class Refusal {
        unknownPeer,    // no peer of that name is listed
        notReachable,   // listed, but not heard or its address is not known
        nobodyToReply,  // nobody talked to us directly within the reply window
    };
    // A press to the peer listed as `name` alone: its packets go to its address,
    // not to the group.
    std::optional<Refusal> beginTalkingTo(std::string_view name);
    // A press to whoever last talked to us directly.
    std::optional<Refusal> beginReply();
    void endTalking();
    void refreshTransport();

    static constexpr double releaseTailSeconds = 0.2;
    static constexpr double answerIntervalSeconds = 0.25;

private:
    void beginPress(std::string destination);
    std::optional<Refusal> beginDirect(const std::optional<Peer>& peer, Refusal ifNone);
    void handlePacket(const WalkiePacket& packet, const DatagramOrigin& origin);
    void publishTalkers();
    void updateReplyName();
    void feedPlayback();

    void applyTransportState(const Transport::State& state);
    void applyBrowseState(Discovery::BrowseState state);
    // DNS-SD on the open channel only.
    void startDiscoveryForChannel();
    void updateLocalNetworkAccess();
    // The audio platform's health: an error shows in the connection state
    // (over the network's, unless that is an error too) until audio works again.
    void applyAudioHealth(std::optional<std::string> error);
    void showConnectionState();
    void updatePeers(std::vector<Peer> peers);
    void sendAudioFrame(const Bytes& frame);
    void sendTalkEnd();
    // What stops a press now, if anything.
    std::optional<TalkFailure> pressObstacle() const;
    void setTalkFailure(std::optional<TalkFailure> value);
    void send(PacketType type, std::uint32_t frameIndex, Bytes payload);
    void setTransmitting(bool value);
    void setConnectionState(ConnectionState value);
    void setTalkingPeerName(std::optional<std::string> value);
    void notify(Property property);
    // Plays a talk cue unless cues are off (and "incoming" while muted or transmitting).
    void cue(Cue cue);
    void startRoster();
    void sendBeacon();
    void sendEncodings();
    // A newcomer's first announcement is answered with ours within 0.1 s, and
    // at most once in answerIntervalSeconds: one answer serves every newcomer
    // since the last, and a flood of them draws four small packets a second.
    void answerEncodings();
    void handleEncodings(const WalkiePacket& packet);
    void handleOpus(const WalkiePacket& packet, const DatagramOrigin& origin);

    std::shared_ptr<Executor> main_;
    std::optional<std::string> talkingPeerName_;
    std::vector<std::string> talkingPeerNames_;
    bool isTransmitting_ = false;
    // Released, the talk end not sent yet: the tail is running.
    bool isTalkEndPending_ = false;
    ConnectionState connectionState_;
    ConnectionState networkState_;
    std::optional<std::string> audioError_;
    std::optional<TalkFailure> talkFailure_;
    bool isRunning_ = false;
    bool isMuted_ = false;
    Channel channel_;
    bool isWrongPassphrase_ = false;
    // The last reports the local-network answer is made of; none yet: unknown.
    std::optional<Discovery::BrowseState> browseState_;
    Transport::State groupState_;
    LocalNetworkAccess localNetworkAccess_ = LocalNetworkAccess::unknown;

    std::string displayName_;
    Uuid senderID_;
    std::shared_ptr<Transport> transport_;
    std::shared_ptr<AudioEngine> audio_;
    std::shared_ptr<Discovery> discovery_;
    std::shared_ptr<Roster> roster_;
    RecentMessages recent_;
    std::optional<std::string> replyName_;
    // Due when the reply window closes; idle while nobody can be answered.
    OneShotTimer replyExpiry_;
    // A recent message playing: its frames, fed to the mixer a little ahead
    // of the speaker as one talker of its own.
    struct Playback {
        Uuid talker;
        std::vector<Bytes> frames;
        std::size_t next = 0;
        Executor::TimePoint start{};
    };
    std::optional<Playback> playback_;
    OneShotTimer playbackFeed_;
    // Where the current spurt goes: empty for the group, else a peer's address.
    // Set on the main thread, read by the capture thread too.
    std::mutex destinationMutex_;
    std::string destination_;
    // Advanced from the capture thread and the main thread.
    std::atomic<std::uint32_t> sequence_{0};
    std::atomic<std::uint32_t> frameIndex_{0};
    // Captured frames go out only between a talk start and its talk end: the
    // microphone starts before the talk start is sent.
    std::atomic<bool> isSendingAudio_{false};
    bool isCuesEnabled_ = true;

    CodecChoice codecChoice_ = CodecChoice::automatic;
    bool isDecodingOpus_ = true;
    PeerEncodings peerEncodings_;
    // Set by each press, read by the capture thread.
    std::atomic<AudioEncoding> spurtEncoding_{AudioEncoding::pcm};
    // Used on the capture thread only (and for the last frame once capture stopped).
    SpeechEncoder encoder_;
    SpeechDecoders decoders_;
    bool isEncodingAnswerPending_ = false;
    std::optional<Executor::TimePoint> lastEncodingAnswer_;
    std::minstd_rand random_{std::random_device{}()};
};

} // namespace hh
