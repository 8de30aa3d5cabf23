#pragma once

#include "core/channel/Channel.h"
#include "core/wire/WalkiePacket.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

namespace hh {

// The private channels' datagram: a whole packet of any type, sealed with
// XChaCha20-Poly1305.
//
//   0   1  magic 0xC5: never a protocol version, so older peers drop it
//   1   1  envelope version 1
//   2   4  channel tag (from the name)
//   6   4  key identifier (from name and passphrase)
//   10 24  nonce: 16 random bytes per sealer, then a 64-bit big-endian counter
//   34 ..  the packet, encrypted, and the 16-byte authentication tag
//
// Bytes 0-9 are authenticated as associated data.
struct Envelope {
    static constexpr std::uint8_t magic = 0xC5;
    static constexpr std::uint8_t version = 1;
    static constexpr std::size_t headerSize = 10;
    static constexpr std::size_t nonceSize = 24;
    static constexpr std::size_t prefixSize = 16;
    static constexpr std::size_t tagSize = 16;
    static constexpr std::size_t overhead = headerSize + nonceSize + tagSize;
    // The most a receiver takes, sealed or not.
    static constexpr std::size_t maximumDatagramSize = 2048;
};
static_assert(Envelope::magic != WalkieConfig::protocolVersion);

// Microseconds since the epoch; replaceable in tests.
using WallClock = std::function<std::uint64_t()>;
std::uint64_t wallClockMicroseconds();

// Seals outgoing datagrams for one sender run. The nonce's counter is the
// wall clock in microseconds, forced to rise by at least one per packet: it
// never repeats within a run, and the random prefix keeps runs (a restart, a
// second instance, a clock set back) apart without any stored state. The time
// in it lets a receiver that has never heard this run refuse an old recording.
// Not thread-safe: one thread seals.
class PacketSealer {
public:
    explicit PacketSealer(std::shared_ptr<const ChannelKey> key, WallClock clock = wallClockMicroseconds);
    Bytes seal(std::span<const std::uint8_t> datagram);

private:
    std::shared_ptr<const ChannelKey> key_;
    WallClock clock_;
    std::array<std::uint8_t, Envelope::prefixSize> prefix_{};
    std::uint64_t counter_ = 0;
};

// Opens datagrams received on a private channel. Forged or foreign datagrams
// cost one header comparison or one authentication check: nothing is allocated
// and no state changes until a datagram authenticates. Not thread-safe.
class PacketOpener {
public:
    enum class Verdict {
        opened,
        notOurs,          // no envelope, or another channel's
        wrongPassphrase,  // our channel, another passphrase
        forged,           // does not authenticate
        replayed,         // authentic, but seen before or older than the window
        stale,            // authentic, from a sender not heard yet, but too old
    };
    struct Result {
        Verdict verdict;
        // The packet's bytes when opened, valid until the next open().
        std::span<const std::uint8_t> datagram;
    };

    // Senders' windows kept at once; the least recently heard goes first.
    static constexpr std::size_t maximumSenders = 64;
    // The most recent counters kept per sender: reordering within them is
    // accepted once, anything older is dropped.
    static constexpr std::size_t windowSize = 64;
    // How far a first packet's time may be from ours (clocks on a LAN differ a little).
    static constexpr std::uint64_t freshnessMicroseconds = 600'000'000;

    explicit PacketOpener(std::shared_ptr<const ChannelKey> key, WallClock clock = wallClockMicroseconds);
    Result open(std::span<const std::uint8_t> datagram);

private:
    struct SenderWindow {
        std::array<std::uint8_t, Envelope::prefixSize> prefix{};
        std::array<std::uint64_t, windowSize> recent{};
        std::size_t count = 0;
        std::uint64_t lastHeard = 0;  // open() calls, for eviction
    };
    // Whether `counter` is new for this sender; records it when it is.
    static bool accept(SenderWindow& window, std::uint64_t counter);

    std::shared_ptr<const ChannelKey> key_;
    WallClock clock_;
    std::array<SenderWindow, maximumSenders> senders_{};
    std::size_t senderCount_ = 0;
    std::uint64_t opened_ = 0;
    std::array<std::uint8_t, Envelope::maximumDatagramSize> plain_{};
};

} // namespace hh
