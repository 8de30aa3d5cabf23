#include "core/audio/SpeechCodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

namespace hh {
namespace {

using Source = DecodedFrame::Source;
constexpr double rate = WalkieConfig::sampleRate;

// 20 ms frames of a sine at `hz`, amplitude `level` of full scale, phase running on.
std::vector<Bytes> tone(double hz, double level, int frames) {
    std::vector<Bytes> out;
    for (int f = 0; f < frames; ++f) {
        Bytes frame(640);
        for (int i = 0; i < 320; ++i) {
            const auto v = std::int16_t(std::lround(level * 32767.0 * std::sin(2 * std::numbers::pi * hz * (f * 320 + i) / rate)));
            frame[2 * i] = std::uint8_t(std::uint16_t(v) & 0xFF);
            frame[2 * i + 1] = std::uint8_t(std::uint16_t(v) >> 8);
        }
        out.push_back(std::move(frame));
    }
    return out;
}

std::vector<double> samplesOf(const Bytes& pcm) {
    std::vector<double> out;
    for (std::size_t i = 0; i + 1 < pcm.size(); i += 2) out.push_back(std::int16_t(std::uint16_t(pcm[i] | pcm[i + 1] << 8)) / 32768.0);
    return out;
}

double rms(const std::vector<double>& s) {
    double sum = 0;
    for (double v : s) sum += v * v;
    return std::sqrt(sum / double(s.size()));
}

// Power at `hz` (Goertzel), as a share of the whole signal's power.
double shareAt(const std::vector<double>& s, double hz) {
    const double w = 2 * std::numbers::pi * hz / rate, c = 2 * std::cos(w);
    double a = 0, b = 0;
    for (double v : s) {
        const double n = v + c * a - b;
        b = a;
        a = n;
    }
    const double power = (a * a + b * b - c * a * b) * 2 / double(s.size());
    double total = 0;
    for (double v : s) total += v * v;
    return power / total;
}

std::vector<double> join(const std::vector<DecodedFrame>& frames, std::size_t from) {
    std::vector<double> out;
    for (std::size_t i = from; i < frames.size(); ++i) {
        auto s = samplesOf(frames[i].pcm16le);
        out.insert(out.end(), s.begin(), s.end());
    }
    return out;
}

struct Encoded {
    std::vector<Bytes> packets;
    std::size_t bytes = 0;
};

Encoded encodeAll(const std::vector<Bytes>& frames) {
    SpeechEncoder encoder;
    Encoded out;
    for (const auto& f : frames) {
        out.packets.push_back(encoder.encode(f));
        out.bytes += out.packets.back().size();
    }
    return out;
}

// A tone keeps its level and its spectrum, at the rate the wire budget allows:
// a packet with its 54 bytes of headers under a seventh of a PCM one (694).
TEST(SpeechCodec, ToneRoundTripKeepsLevelSpectrumAndRate) {
    for (const double hz : {440.0, 1000.0, 3000.0}) {
        const auto frames = tone(hz, 0.3, 100);
        const auto encoded = encodeAll(frames);
        EXPECT_LT(double(encoded.bytes) / 100 + 54, 694.0 / 7) << hz;
        SpeechDecoder decoder;
        decoder.beginSpurt();
        std::vector<DecodedFrame> decoded;
        for (std::uint32_t i = 0; i < encoded.packets.size(); ++i)
            for (auto& f : decoder.decode(i, encoded.packets[i])) decoded.push_back(std::move(f));
        ASSERT_EQ(decoded.size(), 100u);
        for (std::uint32_t i = 0; i < 100; ++i) {
            EXPECT_EQ(decoded[i].frameIndex, i);
            EXPECT_EQ(decoded[i].source, Source::received);
        }
        // Past the encoder's start-up.
        const auto out = join(decoded, 10);
        const double level = 20 * std::log10(rms(out) / (0.3 / std::sqrt(2.0)));
        EXPECT_NEAR(level, 0.0, 1.0) << hz << " Hz";
        EXPECT_GT(shareAt(out, hz), 0.95) << hz << " Hz";
    }
}

// A lost frame comes back from the next packet's copy before that packet's
// own; several lost are concealed, the last of them recovered; late and
// repeated packets give nothing; a long gap is left to the playout queue.
TEST(SpeechCodec, LossIsRecoveredConcealedOrLeft) {
    const auto frames = tone(700, 0.3, 80);
    const auto encoded = encodeAll(frames);
    SpeechDecoder reference;
    std::vector<DecodedFrame> clean;
    for (std::uint32_t i = 0; i < 80; ++i)
        for (auto& f : reference.decode(i, encoded.packets[i])) clean.push_back(std::move(f));

    SpeechDecoder decoder;
    decoder.beginSpurt();
    std::vector<DecodedFrame> got;
    const auto feed = [&](std::uint32_t i) {
        auto out = decoder.decode(i, encoded.packets[i]);
        for (auto& f : out) got.push_back(f);
        return out;
    };
    for (std::uint32_t i = 0; i < 20; ++i) feed(i);
    auto out = feed(21);  // 20 lost
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].frameIndex, 20u);
    EXPECT_EQ(out[0].source, Source::recovered);
    EXPECT_EQ(out[1].frameIndex, 21u);
    // The copy is coarser, but the same tone at about the same level.
    const auto recovered = samplesOf(out[0].pcm16le), original = samplesOf(clean[20].pcm16le);
    EXPECT_NEAR(20 * std::log10(rms(recovered) / rms(original)), 0.0, 3.0);
    EXPECT_GT(shareAt(recovered, 700), 0.8);

    EXPECT_TRUE(feed(20).empty()) << "late: its turn went to the copy";
    EXPECT_TRUE(feed(21).empty()) << "repeated";
    for (std::uint32_t i = 22; i < 30; ++i) feed(i);
    out = feed(33);  // 30, 31, 32 lost
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].source, Source::concealed);
    EXPECT_EQ(out[1].source, Source::concealed);
    EXPECT_EQ(out[2].source, Source::recovered);
    EXPECT_EQ(out[2].frameIndex, 32u);
    EXPECT_GT(rms(samplesOf(out[0].pcm16le)), 0.05) << "concealment continues the tone rather than going silent";

    out = feed(50);  // a jump past what is worth filling
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].frameIndex, 50u);
}

// Whatever arrives as compressed audio, from anyone: every result is one
// 20 ms frame at its index, and what is not a 20 ms Opus frame is concealed.
TEST(SpeechCodec, HostilePayloadsDecodeToWholeFramesOrConcealment) {
    std::mt19937 random(7);
    SpeechDecoder decoder;
    const auto valid = encodeAll(tone(500, 0.5, 3));
    std::vector<Bytes> payloads = {{}, Bytes(2022, 0xFF), Bytes(2022, 0x00), Bytes(1, 0x0B)};
    for (int i = 0; i < 2000; ++i) {
        Bytes b(random() % 2023);
        for (auto& v : b) v = std::uint8_t(random());
        payloads.push_back(std::move(b));
    }
    // A valid header with garbage behind it, and a 60 ms packet where 20 ms is expected.
    for (int i = 0; i < 200; ++i) {
        Bytes b = valid.packets[1];
        for (std::size_t k = 1; k < b.size(); ++k) b[k] = std::uint8_t(random());
        payloads.push_back(std::move(b));
    }
    SpeechEncoder encoder;
    std::uint32_t index = 0, expected = 0;
    std::size_t concealed = 0;
    for (const auto& p : payloads) {
        index += 1 + random() % 3;
        for (const auto& f : decoder.decode(index, p)) {
            ASSERT_EQ(f.pcm16le.size(), 640u);
            ASSERT_GE(f.frameIndex, expected);
            expected = f.frameIndex + 1;
            if (f.source == Source::concealed) ++concealed;
        }
        ASSERT_EQ(expected, index + 1);
    }
    EXPECT_GT(concealed, 0u);
    // The empty and the 2,022-byte ones are not Opus frames of 20 ms.
    SpeechDecoder fresh;
    for (const auto& p : {Bytes{}, Bytes(2022, 0xFF), Bytes(2022, 0x00)})
        EXPECT_EQ(fresh.decode(index++, p).back().source, Source::concealed);
}

// One decoder per talker, as many as the mixer plays; a talk end frees one.
TEST(SpeechCodec, DecodersPerTalkerAreBounded) {
    SpeechDecoders decoders;
    const auto packet = encodeAll(tone(500, 0.3, 1)).packets[0];
    std::vector<Uuid> talkers;
    for (int i = 0; i < 12; ++i) {
        talkers.push_back(Uuid::random());
        EXPECT_EQ(decoders.decode(talkers.back(), 0, packet).size(), 1u);
    }
    EXPECT_EQ(decoders.size(), SpeechDecoders::maximumTalkers);
    decoders.endSpurt(talkers.back());
    EXPECT_EQ(decoders.size(), SpeechDecoders::maximumTalkers - 1);
    // A talk start begins the count at frame 0: frame 1 first recovers frame 0.
    decoders.beginSpurt(talkers[10]);
    EXPECT_EQ(decoders.decode(talkers[10], 1, packet).size(), 2u);
}

} // namespace
} // namespace hh
