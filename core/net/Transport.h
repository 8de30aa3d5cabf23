#pragma once

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
// change of the available interfaces rebuilds it at once. All its state lives on
// its own serial executor; the public operations only post to it.
class Transport : public std::enable_shared_from_this<Transport> {
public:
    struct State {
        enum class Kind { failed, setup, ready, cancelled };
        Kind kind = Kind::setup;
        std::string message;  // for failed: a description for the user
        bool isRefused = false;  // failed: the system refused us (see GroupState)

        static State failed(std::string message, bool isRefused = false) {
            return {Kind::failed, std::move(message), isRefused};
        }
        static State setup() { return {Kind::setup, {}}; }
        static State ready() { return {Kind::ready, {}}; }
        static State cancelled() { return {Kind::cancelled, {}}; }
        friend bool operator==(const State&, const State&) = default;
    };

    static constexpr std::size_t maximumDatagramSize = 2048;
    static constexpr double rebuildDelaySeconds = 2.0;

    // Runs on the platform's executor.
    explicit Transport(std::shared_ptr<NetworkPlatform> platform);
    ~Transport();

    // Called on the queue. Assign before start().
    std::function<void(const WalkiePacket&, const DatagramOrigin&)> onPacket;
    std::function<void(const State&)> onState;

    void start();
    void restart();
    void stop();
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

    std::shared_ptr<Executor> queue_;
    std::shared_ptr<NetworkPlatform> platform_;
    // Only touched on queue_.
    std::unique_ptr<MulticastGroup> group_;
    std::unique_ptr<PathMonitor> pathMonitor_;
    std::optional<std::string> pathSignature_;
    bool isRestartPending_ = false;
    bool isRunning_ = false;
    // A group that keeps failing is logged when it starts and when it heals.
    FailureLog groupFailure_{logcat::net, "multicast group"};
};

// The text shown for a state, for diagnostics.
const char* toString(Transport::State::Kind kind);

} // namespace hh
