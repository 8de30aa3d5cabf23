#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace hh {

// What a private channel's name and passphrase derive to. Both sides must
// derive the same bytes from the same words, so every parameter here is fixed.
struct ChannelKey {
    static constexpr std::size_t keySize = 32;
    static constexpr std::size_t idSize = 4;

    ChannelKey() = default;
    ChannelKey(const ChannelKey&) = delete;
    ChannelKey& operator=(const ChannelKey&) = delete;
    // The key bytes do not outlive their use.
    ~ChannelKey();

    // Seals and opens every packet (XChaCha20-Poly1305).
    std::array<std::uint8_t, keySize> packetKey{};
    // In the clear on every packet. The tag follows from the name alone, so a
    // receiver on the same channel with another passphrase recognises the
    // packets as its channel's; the key identifier then tells the passphrases apart.
    std::array<std::uint8_t, idSize> channelTag{};
    std::array<std::uint8_t, idSize> keyID{};
    // The channel's group, in the administratively scoped 239.0.0.0/8.
    std::array<std::uint8_t, 4> group{};
};

// The one channel an instance is on: the open default (today's group, no
// encryption) or a private one with its name and derived key.
class Channel {
public:
    inline static const std::string openName = "Everyone";

    // The open default.
    Channel();
    // Derives the key (Argon2id: a fraction of a second and a few MB, so not on
    // a thread that must stay responsive). Throws std::invalid_argument for an
    // empty passphrase or a name that is not 1 to 63 bytes of UTF-8.
    static Channel makePrivate(std::string name, std::string_view passphrase);

    const std::string& name() const { return name_; }
    bool isPrivate() const { return key_ != nullptr; }
    // Null on the open channel.
    std::shared_ptr<const ChannelKey> key() const { return key_; }
    // Dotted IPv4 text of the channel's group.
    std::string multicastHost() const;

    // Same channel: same name and same derived key.
    friend bool operator==(const Channel& a, const Channel& b);

private:
    std::string name_;
    std::shared_ptr<const ChannelKey> key_;
};

} // namespace hh
