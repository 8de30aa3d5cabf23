#include "core/audio/SpeechCodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

namespace hh {
namespace {

using Source = DecodedFrame::Source;

// 20 ms frames of a 730 Hz sine at 0.3 of full scale: 14.6 periods a frame,
// so each frame differs from the next in phase.
Bytes toneFrame(int frame) {
    Bytes out(640);
    for (int i = 0; i < 320; ++i) {
        const auto v = std::uint16_t(std::lround(0.3 * 32767 * std::sin(2 * std::numbers::pi * 730 * (frame * 320 + i) / 16000.0)));
        out[2 * i] = std::uint8_t(v & 0xFF);
        out[2 * i + 1] = std::uint8_t(v >> 8);
    }
    return out;
}

// The RMS level of a frame in dB against the tone's, and the share of its power at 730 Hz (Goertzel).
std::pair<double, double> levelAndPurity(const Bytes& pcm) {
    const double c = 2 * std::cos(2 * std::numbers::pi * 730 / 16000);
    double a = 0, b = 0, total = 0;
    for (std::size_t i = 0; i + 1 < pcm.size(); i += 2) {
        const double v = std::int16_t(std::uint16_t(pcm[i] | pcm[i + 1] << 8)) / 32768.0;
        total += v * v;
        const double n = v + c * a - b;
        b = a;
        a = n;
    }
    const double n = double(pcm.size() / 2);
    return {10 * std::log10(total / n / (0.045)), (a * a + b * b - c * a * b) * 2 / n / total};
}

double correlation(const Bytes& x, const Bytes& y) {
    double xy = 0, xx = 0, yy = 0;
    for (std::size_t i = 0; i + 1 < x.size(); i += 2) {
        const double a = std::int16_t(std::uint16_t(x[i] | x[i + 1] << 8)), b = std::int16_t(std::uint16_t(y[i] | y[i + 1] << 8));
        xy += a * b, xx += a * a, yy += b * b;
    }
    return xy / std::sqrt(xx * yy);
}

// A tone keeps its level and spectrum, at a rate under a seventh of PCM's on
// the wire (54 bytes of headers each); a lost frame comes back from the next
// packet's copy, several lost are concealed the last of them recovered, late
// and repeated packets give nothing, a long gap is left to the playout queue.
TEST(SpeechCodec, ToneRoundTripAndLoss) {
    SpeechEncoder encoder;
    std::vector<Bytes> packets;
    for (int f = 0; f < 60; ++f) {
        packets.push_back(encoder.encode(toneFrame(f)));
        EXPECT_LT(packets.back().size() + 54, 694u / 7);
    }
    SpeechDecoder reference, decoder;
    std::vector<Bytes> clean;
    for (std::uint32_t i = 0; i < packets.size(); ++i) clean.push_back(reference.decode(i, packets[i])[0].pcm16le);
    decoder.beginSpurt();
    const auto feed = [&](std::uint32_t i) { return decoder.decode(i, packets[i]); };
    for (std::uint32_t i = 0; i < 20; ++i) {
        const auto out = feed(i);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].source, Source::received);
        if (i < 10) continue;  // the encoder's start-up
        const auto [level, purity] = levelAndPurity(out[0].pcm16le);
        EXPECT_NEAR(level, 0.0, 1.0) << i;
        EXPECT_GT(purity, 0.95) << i;
    }
    auto out = feed(21);  // 20 lost
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].frameIndex, 20u);
    EXPECT_EQ(out[0].source, Source::recovered);
    const auto [level, purity] = levelAndPurity(out[0].pcm16le);
    EXPECT_NEAR(level, 0.0, 3.0) << "the copy is coarser, but the same tone";
    EXPECT_GT(purity, 0.8);
    EXPECT_GT(correlation(out[0].pcm16le, clean[20]), 0.85) << "frame 20's own copy, in its phase";
    EXPECT_TRUE(feed(20).empty()) << "late: its turn went to the copy";
    EXPECT_TRUE(feed(21).empty()) << "repeated";
    for (std::uint32_t i = 22; i < 30; ++i) feed(i);
    out = feed(33);  // 30, 31, 32 lost
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].source, Source::concealed);
    EXPECT_EQ(out[2].source, Source::recovered);
    EXPECT_EQ(out[2].frameIndex, 32u);
    EXPECT_GT(levelAndPurity(out[0].pcm16le).first, -10.0) << "concealment carries the tone on";
    EXPECT_EQ(feed(50).size(), 1u) << "a jump past what is worth filling";
}

// Whatever arrives as compressed audio: every result is one 20 ms frame at
// its index, and what is not a 20 ms Opus frame (empty, 2,022 bytes, random,
// a valid first byte with garbage behind) is concealed.
TEST(SpeechCodec, HostilePayloadsDecodeToWholeFramesOrConcealment) {
    std::mt19937 random(7);
    const Bytes valid = SpeechEncoder().encode(toneFrame(0));
    std::vector<Bytes> payloads = {{}, Bytes(2022, 0xFF), Bytes(2022, 0x00)};
    for (int i = 0; i < 2000; ++i) {
        Bytes b = i % 4 ? Bytes(random() % 2023) : valid;
        for (std::size_t k = i % 4 ? 0 : 1; k < b.size(); ++k) b[k] = std::uint8_t(random());
        payloads.push_back(std::move(b));
    }
    SpeechDecoder decoder;
    decoder.beginSpurt();
    std::uint32_t index = 0, expected = 0;
    for (std::size_t p = 0; p < payloads.size(); ++p) {
        index += 1 + random() % 3;
        const auto out = decoder.decode(index, payloads[p]);
        for (const auto& f : out) {
            ASSERT_EQ(f.pcm16le.size(), 640u);
            ASSERT_EQ(f.frameIndex, expected);
            ++expected;
        }
        ASSERT_EQ(expected, index + 1);
        if (p < 3) {
            EXPECT_EQ(out.back().source, Source::concealed);
        }
    }
}

} // namespace
} // namespace hh
