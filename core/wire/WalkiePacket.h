#pragma once

#include "core/wire/Uuid.h"
#include "core/wire/WalkieConfig.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace hh {

enum class PacketType : std::uint8_t {
    audio = 0,
    talkStart = 1,
    talkEnd = 2,
    hello = 3,
    // Newer than the four above: a peer that knows only those drops these
    // unread, so they never disturb it.
    opus = 4,       // one compressed 20 ms frame (SpeechCodec), indexed as audio is
    encodings = 5,  // which audio encodings the sender decodes (AudioEncodings)
};

// The case for a raw value 0-5, nothing for 6-255.
std::optional<PacketType> packetTypeFromRaw(std::uint8_t raw);
const char* toString(PacketType type);

using Bytes = std::vector<std::uint8_t>;

// One datagram: a 26-byte big-endian header and a payload to the end.
struct WalkiePacket {
    static constexpr std::size_t headerSize = 26;

    std::uint8_t version = WalkieConfig::protocolVersion;
    PacketType type = PacketType::audio;
    Uuid senderID;
    std::uint32_t sequence = 0;
    std::uint32_t frameIndex = 0;
    Bytes payload;

    // Writes the stored version as it is; never fails.
    Bytes encode() const;
    // Nothing for datagrams shorter than the header, of another version or of
    // an unknown type. The payload length is not checked against the type.
    static std::optional<WalkiePacket> decode(std::span<const std::uint8_t> data);

    friend bool operator==(const WalkiePacket&, const WalkiePacket&) = default;
};

} // namespace hh
