#include "core/channel/Channel.h"

#include "core/net/Peer.h"
#include "core/wire/WalkieConfig.h"

#include <sodium.h>

#include <span>
#include <stdexcept>

namespace hh {

namespace {

// Argon2id costs, fixed forever: two builds with other values derive other
// keys and never hear each other. 8 MiB keeps a listener's peak memory small;
// the passes make a guess cost about 0.1 s on a current desktop core.
constexpr std::size_t memoryBytes = 8u << 20;
constexpr unsigned long long namePasses = 8;
constexpr unsigned long long passphrasePasses = 64;
constexpr std::string_view nameSalt = "hollerhopper/ch1";  // 16 bytes
static_assert(nameSalt.size() == crypto_pwhash_SALTBYTES);

void ensureSodium() {
    if (sodium_init() < 0) throw std::runtime_error("the crypto library cannot start");
}

void argon2id(std::span<std::uint8_t> out, std::string_view password, const std::uint8_t* salt,
              unsigned long long passes) {
    if (crypto_pwhash(out.data(), out.size(), password.data(), password.size(), salt, passes, memoryBytes,
                      crypto_pwhash_ALG_ARGON2ID13) != 0)
        throw std::runtime_error("not enough memory to derive the channel key");
}

// A labelled subkey of `master`: BLAKE2b keyed with it.
template <std::size_t N>
void subkey(std::array<std::uint8_t, N>& out, std::span<const std::uint8_t, 32> master, std::string_view label) {
    crypto_generichash(out.data(), out.size(), reinterpret_cast<const unsigned char*>(label.data()), label.size(),
                       master.data(), master.size());
}

} // namespace

ChannelKey::~ChannelKey() {
    sodium_memzero(packetKey.data(), packetKey.size());
    sodium_memzero(keyID.data(), keyID.size());
}

Channel::Channel() : name_(openName) {}

Channel Channel::makePrivate(std::string name, std::string_view passphrase) {
    if (!isUsableName(name))
        throw std::invalid_argument("a channel name is 1 to 63 bytes of UTF-8");
    if (passphrase.empty()) throw std::invalid_argument("a private channel needs a passphrase");
    ensureSodium();

    // From the name alone, slowly, so that the group and tag seen on the wire
    // do not tell the name without a costly guess per candidate.
    std::array<std::uint8_t, 32> nameSecret{};
    argon2id(nameSecret, name, reinterpret_cast<const std::uint8_t*>(nameSalt.data()), namePasses);
    auto key = std::make_shared<ChannelKey>();
    std::array<std::uint8_t, crypto_pwhash_SALTBYTES> passphraseSalt{};
    subkey(passphraseSalt, nameSecret, "passphrase salt");
    subkey(key->channelTag, nameSecret, "channel tag");
    std::array<std::uint8_t, 3> group{};
    subkey(group, nameSecret, "group");
    // 239.1.0.1 to 239.254.255.254: clear of 239.0/16 and 239.255/16 (others'
    // well-known groups) and never the open channel's group.
    key->group = {239, std::uint8_t(1 + group[0] % 254), group[1], std::uint8_t(1 + group[2] % 254)};
    if (key->group == std::array<std::uint8_t, 4>{239, 42, 42, 42}) key->group[3] = 43;

    std::array<std::uint8_t, 32> master{};
    argon2id(master, passphrase, passphraseSalt.data(), passphrasePasses);
    subkey(key->packetKey, master, "packet key");
    subkey(key->keyID, master, "key id");
    sodium_memzero(master.data(), master.size());
    sodium_memzero(nameSecret.data(), nameSecret.size());

    Channel channel;
    channel.name_ = std::move(name);
    channel.key_ = std::move(key);
    return channel;
}

std::string Channel::multicastHost() const {
    if (!key_) return std::string(WalkieConfig::multicastHost);
    const auto& g = key_->group;
    return std::to_string(g[0]) + '.' + std::to_string(g[1]) + '.' + std::to_string(g[2]) + '.' + std::to_string(g[3]);
}

bool operator==(const Channel& a, const Channel& b) {
    if (a.name_ != b.name_ || a.isPrivate() != b.isPrivate()) return false;
    if (!a.key_) return true;
    return sodium_memcmp(a.key_->packetKey.data(), b.key_->packetKey.data(), ChannelKey::keySize) == 0;
}

} // namespace hh
