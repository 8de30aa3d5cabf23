#include "core/wire/WalkiePacket.h"

namespace hh {

std::optional<PacketType> packetTypeFromRaw(std::uint8_t raw) {
    if (raw > std::uint8_t(PacketType::encodings)) return std::nullopt;
    return PacketType(raw);
}

const char* toString(PacketType type) {
    switch (type) {
    case PacketType::audio: return "audio";
    case PacketType::talkStart: return "talkStart";
    case PacketType::talkEnd: return "talkEnd";
    case PacketType::hello: return "hello";
    case PacketType::opus: return "opus";
    case PacketType::encodings: return "encodings";
    }
    return "unknown";
}

namespace {
void appendBigEndian(Bytes& out, std::uint32_t v) {
    out.push_back(std::uint8_t(v >> 24));
    out.push_back(std::uint8_t(v >> 16));
    out.push_back(std::uint8_t(v >> 8));
    out.push_back(std::uint8_t(v));
}

std::uint32_t readBigEndian(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
}
} // namespace

Bytes WalkiePacket::encode() const {
    Bytes out;
    out.reserve(headerSize + payload.size());
    out.push_back(version);
    out.push_back(std::uint8_t(type));
    out.insert(out.end(), senderID.bytes.begin(), senderID.bytes.end());
    appendBigEndian(out, sequence);
    appendBigEndian(out, frameIndex);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::optional<WalkiePacket> WalkiePacket::decode(std::span<const std::uint8_t> data) {
    if (data.size() < headerSize) return std::nullopt;
    if (data[0] != WalkieConfig::protocolVersion) return std::nullopt;
    const auto type = packetTypeFromRaw(data[1]);
    if (!type) return std::nullopt;
    WalkiePacket p;
    p.version = WalkieConfig::protocolVersion;
    p.type = *type;
    std::copy(data.begin() + 2, data.begin() + 18, p.senderID.bytes.begin());
    p.sequence = readBigEndian(data.data() + 18);
    p.frameIndex = readBigEndian(data.data() + 22);
    p.payload.assign(data.begin() + headerSize, data.end());
    return p;
}

} // namespace hh
