#include "core/wire/AudioEncodings.h"
#include "core/wire/Utf8.h"
#include "core/wire/WalkiePacket.h"

#include <gtest/gtest.h>

namespace hh {
namespace {

Uuid exampleID() { return *Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF"); }

Bytes header(std::uint8_t version, std::uint8_t type, std::size_t payload = 0) {
    Bytes b(WalkiePacket::headerSize + payload, 0);
    b[0] = version;
    b[1] = type;
    return b;
}

TEST(WalkiePacket, WorkedExampleIsByteExact) {
    WalkiePacket p;
    p.type = PacketType::audio;
    p.senderID = exampleID();
    p.sequence = 258;
    p.frameIndex = 65536;
    for (int i = 0; i < 640; ++i) p.payload.push_back(std::uint8_t(i * 7));

    const Bytes bytes = p.encode();
    ASSERT_EQ(bytes.size(), 666u);
    const Bytes head(bytes.begin(), bytes.begin() + 26);
    EXPECT_EQ(head, (Bytes{0x01, 0x00, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA,
                           0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00, 0x00, 0x01, 0x02, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_TRUE(std::equal(p.payload.begin(), p.payload.end(), bytes.begin() + 26));
    EXPECT_EQ(WalkiePacket::decode(bytes), p);
}

// Decoding checks only the header: a payload of any length passes, whatever the type.
TEST(WalkiePacket, DecodeRejectsShortWrongVersionAndUnknownTypeOnly) {
    EXPECT_FALSE(WalkiePacket::decode(Bytes(25, 0x01)));
    EXPECT_FALSE(WalkiePacket::decode(Bytes{}));
    for (auto [version, type] : {std::pair{0, 0}, {2, 0}, {1, 6}, {1, 255}})
        EXPECT_FALSE(WalkiePacket::decode(header(std::uint8_t(version), std::uint8_t(type)))) << version << "/" << type;
    const struct {
        std::uint8_t type;
        std::size_t payload;
        PacketType decoded;
    } accepted[] = {{3, 0, PacketType::hello}, {2, 0, PacketType::talkEnd}, {0, 3, PacketType::audio},
                    {2, 10, PacketType::talkEnd}, {4, 0, PacketType::opus}, {5, 7, PacketType::encodings}};
    for (const auto& a : accepted) {
        const auto packet = WalkiePacket::decode(header(1, a.type, a.payload));
        ASSERT_TRUE(packet);
        EXPECT_EQ(packet->type, a.decoded);
        EXPECT_EQ(packet->payload.size(), a.payload);
    }
}

// An announcement names what it decodes and who sends it; encodings of later
// builds are skipped, a payload shorter than its count is refused.
TEST(EncodingAnnouncement, RoundTripsSkipsUnknownEncodingsAndRefusesShortOnes) {
    for (const auto& a : {EncodingAnnouncement{true, "Kitchen"}, EncodingAnnouncement{false, ""}})
        EXPECT_EQ(EncodingAnnouncement::decode(a.encode()), a);
    EXPECT_EQ((EncodingAnnouncement{true, "K"}.encode()), (Bytes{2, 0, 1, 'K'}));
    EXPECT_EQ(EncodingAnnouncement::decode(Bytes{3, 9, 1, 200, 'H', 'i'}), (EncodingAnnouncement{true, "Hi"}));
    EXPECT_EQ(EncodingAnnouncement::decode(Bytes{1, 9}), (EncodingAnnouncement{false, ""}));
    for (const auto& bad : {Bytes{}, Bytes{2, 1}, Bytes{255}}) EXPECT_FALSE(EncodingAnnouncement::decode(bad));
}

// Names from the network are shown only when they are well-formed UTF-8.
TEST(Utf8, AcceptsWellFormedAndRejectsTheRest) {
    EXPECT_TRUE(isValidUtf8(""));
    EXPECT_TRUE(isValidUtf8("Ann\xC3\xA9 \xE2\x80\xA6 \xF0\x9F\x8E\x99"));
    for (const char* bad : {"\xFF", "\xE2\x80" /* cut short */, "\xC0\xAF" /* overlong */,
                            "\xED\xA0\x80" /* surrogate */, "\xF4\x90\x80\x80" /* past U+10FFFF */, "a\x80"})
        EXPECT_FALSE(isValidUtf8(bad)) << bad;
}

} // namespace
} // namespace hh
