#include "core/channel/Channel.h"
#include "core/channel/Envelope.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

namespace hh {
namespace {

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (auto b : bytes) out += "0123456789abcdef"[b >> 4], out += "0123456789abcdef"[b & 15];
    return out;
}

// Derivation is slow on purpose: each channel once for the whole suite.
const Channel& office() {
    static const Channel channel = Channel::makePrivate("Office", "correct horse battery staple");
    return channel;
}
const Channel& officeOtherPassphrase() {
    static const Channel channel = Channel::makePrivate("Office", "wrong horse");
    return channel;
}

WalkiePacket packet(PacketType type, std::string payload = {}) {
    WalkiePacket p;
    p.type = type;
    p.senderID = *Uuid::parse("01234567-89ab-cdef-0123-456789abcdef");
    p.sequence = 7;
    p.frameIndex = 3;
    p.payload.assign(payload.begin(), payload.end());
    return p;
}

// Two builds, or two machines, must derive the same bytes from the same words.
TEST(ChannelKeyTest, DerivationIsFixedForAKnownNameAndPassphrase) {
    const auto& key = *office().key();
    EXPECT_EQ(hex(key.packetKey), "9139fb6c069e8a8a845274eb26401b9cfd0b24ce3567f4e23230bec60fd97455");
    EXPECT_EQ(hex(key.channelTag), "303b38bc");
    EXPECT_EQ(hex(key.keyID), "85d5051d");
    EXPECT_EQ(office().multicastHost(), "239.119.197.118");

    // The name alone fixes tag and group; the passphrase the key and its identifier.
    const auto& other = *officeOtherPassphrase().key();
    EXPECT_EQ(other.channelTag, key.channelTag);
    EXPECT_EQ(officeOtherPassphrase().multicastHost(), office().multicastHost());
    EXPECT_NE(other.keyID, key.keyID);
    EXPECT_NE(other.packetKey, key.packetKey);
    EXPECT_FALSE(office() == officeOtherPassphrase());

    EXPECT_EQ(Channel().multicastHost(), "239.42.42.42");
    EXPECT_FALSE(Channel().isPrivate());
    EXPECT_THROW(Channel::makePrivate("Office", ""), std::invalid_argument);
}

class EnvelopeTest : public ::testing::Test {
protected:
    std::uint64_t now = 1'800'000'000'000'000;  // microseconds, 2027
    WallClock clock = [this] { return now; };
    PacketSealer sealer{office().key(), clock};
    PacketOpener opener{office().key(), clock};
};

TEST_F(EnvelopeTest, AnyFlippedBitIsRejected) {
    const auto sealed = sealer.seal(packet(PacketType::talkStart, "Ada").encode());
    for (std::size_t bit = 0; bit < sealed.size() * 8; ++bit) {
        auto damaged = sealed;
        damaged[bit / 8] ^= std::uint8_t(1 << bit % 8);
        const auto verdict = PacketOpener(office().key(), clock).open(damaged).verdict;
        // The header tells what it is; anything else fails authentication.
        const auto expected = bit < 48 ? PacketOpener::Verdict::notOurs
                              : bit < 80 ? PacketOpener::Verdict::wrongPassphrase
                                         : PacketOpener::Verdict::forged;
        ASSERT_EQ(verdict, expected) << "bit " << bit;
    }
    EXPECT_EQ(opener.open(std::span(sealed).first(Envelope::overhead - 1)).verdict, PacketOpener::Verdict::forged);
    // An open-channel packet sent to our group is not ours; another passphrase is told apart.
    EXPECT_EQ(opener.open(packet(PacketType::talkEnd).encode()).verdict, PacketOpener::Verdict::notOurs);
    PacketSealer stranger(officeOtherPassphrase().key(), clock);
    EXPECT_EQ(opener.open(stranger.seal(packet(PacketType::hello, "Eve").encode())).verdict,
              PacketOpener::Verdict::wrongPassphrase);
    // Still opens the genuine one: nothing above changed the opener's state.
    EXPECT_EQ(opener.open(sealed).verdict, PacketOpener::Verdict::opened);
}

TEST_F(EnvelopeTest, ReplaysAreRejected) {
    std::vector<Bytes> spurt;
    for (int i = 0; i < 100; ++i) spurt.push_back(sealer.seal(packet(PacketType::audio, "x").encode()));
    // Slightly out of order is fine once; any repeat is not.
    EXPECT_EQ(opener.open(spurt[1]).verdict, PacketOpener::Verdict::opened);
    EXPECT_EQ(opener.open(spurt[0]).verdict, PacketOpener::Verdict::opened);
    EXPECT_EQ(opener.open(spurt[1]).verdict, PacketOpener::Verdict::replayed);
    for (std::size_t i = 2; i < spurt.size(); ++i) ASSERT_EQ(opener.open(spurt[i]).verdict, PacketOpener::Verdict::opened);
    for (const auto& d : spurt) ASSERT_EQ(opener.open(d).verdict, PacketOpener::Verdict::replayed);

    // A receiver started after the recording takes a recent one, not an old one.
    now += PacketOpener::freshnessMicroseconds;
    EXPECT_EQ(PacketOpener(office().key(), clock).open(spurt.back()).verdict, PacketOpener::Verdict::opened);
    now += 1'000'000;
    EXPECT_EQ(PacketOpener(office().key(), clock).open(spurt.back()).verdict, PacketOpener::Verdict::stale);

    // More senders than windows: the least recently heard goes, the others keep theirs.
    auto kept = sealer.seal(packet(PacketType::hello).encode());
    EXPECT_EQ(opener.open(kept).verdict, PacketOpener::Verdict::opened);
    for (std::size_t i = 0; i + 1 < PacketOpener::maximumSenders; ++i) {
        PacketSealer other(office().key(), clock);
        ASSERT_EQ(opener.open(other.seal(packet(PacketType::hello).encode())).verdict, PacketOpener::Verdict::opened);
    }
    EXPECT_EQ(opener.open(kept).verdict, PacketOpener::Verdict::replayed);
}

// The nonce is bytes 10-33: never twice under one key, whichever instance or
// run sealed, even with the clock standing still or set back.
TEST_F(EnvelopeTest, NoncesAreUniqueAcrossInstancesAndRestarts) {
    std::set<std::string> nonces;
    std::size_t count = 0;
    auto collect = [&](PacketSealer& s, int n) {
        for (int i = 0; i < n; ++i, ++count) {
            const auto d = s.seal(packet(PacketType::audio).encode());
            nonces.insert(std::string(d.begin() + Envelope::headerSize,
                                      d.begin() + Envelope::headerSize + Envelope::nonceSize));
        }
    };
    PacketSealer second(office().key(), clock);
    collect(sealer, 500);
    collect(second, 500);
    now -= 60'000'000;  // clock set back, then a restart
    PacketSealer restarted(office().key(), clock);
    collect(restarted, 500);
    collect(sealer, 500);
    EXPECT_EQ(nonces.size(), count);
}

} // namespace
} // namespace hh
