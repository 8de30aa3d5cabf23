#pragma once

#include "core/channel/Channel.h"
#include "core/channel/Envelope.h"
#include "core/exec/Executor.h"
#include "core/log/Log.h"
#include "core/net/NetworkPlatform.h"
#include "core/wire/WalkiePacket.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace hh {

// Moves packets between the instances on the link through the one multicast
// group, and heals itself: a waiting or failed group is rebuilt after 2 s, and a
// change of the available interfaces (gone ones too) rebuilds it at once. All its state lives on
// its own serial executor; the public operations only post to it.
// On a private channel every datagram is sealed just before it leaves and
// opened as it arrives, whatever packet it carries.
class Transport : public std::enable_shared_from_this<Transport> {
public:
    struct State {
        enum class Kind { failed, setup, ready, cancelled };
        Kind kind = Kind::setup;
        std::string message;  // for failed: a description for the user
        bool isRefused = false;  // failed: the system refused us (see GroupState)
        bool isNoNetwork = false;  // failed: no usable interface (see GroupState)

        static State failed(std::string message, bool isRefused = false, bool isNoNetwork = false) {
            return {Kind::failed, std::move(message), isRefused, isNoNetwork};
        }
        static State setup() { return {Kind::setup, {}}; }
        static State ready() { return {Kind::ready, {}}; }
        static State cancelled() { return {Kind::cancelled, {}}; }
        friend bool operator==(const State&, const State&) = default;
    };

    static constexpr std::size_t maximumDatagramSize = 2048;
    static constexpr double rebuildDelaySeconds = 2.0;
    // The wrong-passphrase state ends this long after its last datagram.
    static constexpr double wrongPassphraseQuietSeconds = 30.0;

    // Runs on the platform's executor.
    explicit Transport(std::shared_ptr<NetworkPlatform> platform);
    ~Transport();

    // Called on the queue. Assign before start().
    std::function<void(const WalkiePacket&, const DatagramOrigin&)> onPacket;
    std::function<void(const State&)> onState;
    // Datagrams of our channel sealed with another passphrase began (true) or
    // have not come for a while (false). Called on the queue, on changes only.
    std::function<void(bool)> onWrongPassphrase;
    // Audio from this sender (our own, looped back by the group 50 times a
    // second while we talk) is dropped unread where the platform can, else
    // before it is decoded. Set before start().
    std::optional<Uuid> ignoredAudioSender;

    void start();
    void restart();
    void stop();
    // From now on: packets sent after this call go to `channel` only, and the
    // group is rebuilt on the channel's address. The open channel by default.
    void setChannel(Channel channel);
    // Encodes on the caller's thread and returns; the bytes leave from the queue,
    // to the group or, with a `destination` address, to that peer alone.
    void send(const WalkiePacket& packet, std::string destination = {});

private:
    void startGroup();
    void scheduleRestart();
    void rebuildGroup();
    void startPathMonitor();
    void handlePathUpdate(const NetworkPath& path);
    void handleGroupState(const GroupState& state);
    void handleDatagram(std::span<const std::uint8_t> content, const DatagramOrigin& origin);
    void deliver(std::span<const std::uint8_t> datagram, const DatagramOrigin& origin);
    void noteWrongPassphrase();
    void checkWrongPassphrase();
    void scheduleWrongPassphraseCheck(Executor::Duration delay);
    void setWrongPassphrase(bool value);
    void postOnce(bool& isPending, Executor::Duration delay, void (Transport::*task)());

    std::shared_ptr<Executor> queue_;
    std::shared_ptr<NetworkPlatform> platform_;
    // Only touched on queue_.
    std::unique_ptr<MulticastGroup> group_;
    std::unique_ptr<PathMonitor> pathMonitor_;
    std::optional<std::string> pathSignature_;
    bool isRestartPending_ = false;
    bool isRunning_ = false;
    Channel channel_;
    // Present on a private channel.
    std::unique_ptr<PacketSealer> sealer_;
    std::unique_ptr<PacketOpener> opener_;
    bool isWrongPassphrase_ = false;
    Executor::TimePoint lastWrongPassphrase_{};
    bool isWrongPassphraseCheckPending_ = false;
    // A group that keeps failing is logged when it starts and when it heals.
    FailureLog groupFailure_{logcat::net, "multicast group"};
};

// The text shown for a state, for diagnostics.
const char* toString(Transport::State::Kind kind);

} // namespace hh
