#pragma once

#include "core/exec/Executor.h"
#include "core/wire/WalkiePacket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace hh {

// The operations the transport needs from the platform's network stack: one
// multicast group and a monitor of the network path. A platform is made for one
// serial executor: its objects start, deliver and are used there.

// A failure the platform describes in words for the user.
class NetworkError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct GroupState {
    enum class Kind { setup, waiting, ready, failed, cancelled };
    Kind kind = Kind::setup;
    std::string error;  // for waiting and failed
    // Failed because the system refused us (a sandbox or policy forbids the
    // socket or the join), not for want of a network.
    bool isRefused = false;
    // Waiting because no interface is usable (links down, no address): there
    // is no network to join, and loopback alone is none.
    bool isNoNetwork = false;

    friend bool operator==(const GroupState&, const GroupState&) = default;
};

// Where a datagram came from, as the socket saw it.
struct DatagramOrigin {
    std::string sourceAddress;  // IPv4, dotted
    // Sent to this computer's own address, not to the group: a direct spurt.
    bool isDirect = false;

    friend bool operator==(const DatagramOrigin&, const DatagramOrigin&) = default;
};

class MulticastGroup {
public:
    // The bytes are only valid during the call. Datagrams sent directly to us
    // from outside the local subnet are dropped before this.
    using ReceiveHandler = std::function<void(std::span<const std::uint8_t> content, const DatagramOrigin& origin)>;
    using StateHandler = std::function<void(const GroupState&)>;

    virtual ~MulticastGroup() = default;
    // Datagrams longer than `maximumMessageSize` are dropped whole.
    virtual void setReceiveHandler(std::size_t maximumMessageSize, ReceiveHandler handler) = 0;
    // An empty handler detaches: no further state reports, not even cancelled.
    virtual void setStateUpdateHandler(StateHandler handler) = 0;
    virtual void start() = 0;
    // Before start(): audio from `sender` (our own, looped back 50 times a
    // second while we talk) may be dropped before the handler, even unread.
    virtual void ignoreAudioFrom(const Uuid& sender) { (void)sender; }
    // To the whole group, or with a `destination` (IPv4, dotted) to that address
    // alone on the group's port; errors are not reported.
    virtual void send(Bytes content, const std::string& destination) = 0;
    // No deliveries after this, except a final cancelled state while a state
    // handler is installed.
    virtual void cancel() = 0;
};

struct NetworkPath {
    bool isSatisfied = false;
    std::vector<std::string> availableInterfaces;
};

class PathMonitor {
public:
    using UpdateHandler = std::function<void(const NetworkPath&)>;
    virtual ~PathMonitor() = default;
    virtual void setPathUpdateHandler(UpdateHandler handler) = 0;
    // Reports the current path soon after starting, then on every change.
    virtual void start() = 0;
    virtual void cancel() = 0;
};

class NetworkPlatform {
public:
    virtual ~NetworkPlatform() = default;
    // The executor this platform was made for; the transport keeps its state there too.
    virtual std::shared_ptr<Executor> queue() const = 0;
    // Describes the group host:port; throws NetworkError when it cannot.
    virtual std::unique_ptr<MulticastGroup> makeMulticastGroup(std::string_view host, std::uint16_t port) = 0;
    virtual std::unique_ptr<PathMonitor> makePathMonitor() = 0;
};

} // namespace hh
