#include "core/audio/linux/SpeexConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <span>
#include <vector>

namespace hh {
namespace {

using Pcm = std::vector<std::int16_t>;

// A sine of `frames` frames, the same on every channel, interleaved.
std::vector<float> tone(double frequency, double rate, std::uint32_t channels, std::size_t frames) {
    std::vector<float> out(frames * channels);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = float(0.5 * std::sin(2 * std::numbers::pi * frequency * double(i / channels) / rate));
    return out;
}

// RMS level in dB relative to full scale.
double rmsDb(std::span<const std::int16_t> s) {
    double sum = 0;
    for (auto v : s) sum += double(v) * double(v);
    return 10 * std::log10(sum / double(s.size()) / (32768.0 * 32768.0) + 1e-30);
}

// The level of a full-scale-0.5 sine.
const double halfScaleSineDb = 20 * std::log10(0.5 / std::sqrt(2.0));

// Converts `in` in buffers of `bufferFrames`, as capture does.
Pcm convert(const std::vector<float>& in, AudioFormat format, std::size_t bufferFrames) {
    const auto conv = SpeexConverter::make(format);
    if (!conv) ADD_FAILURE() << "no converter";
    if (!conv) return {};
    Pcm result;
    const std::size_t frames = in.size() / format.channelCount;
    for (std::size_t at = 0; at < frames; at += bufferFrames) {
        const auto n = std::min(bufferFrames, frames - at);
        Pcm out(std::size_t(double(n) * 16000 / format.sampleRate) + 32);
        const auto produced = conv->convert(
            {std::span<const float>(in).subspan(at * format.channelCount, n * format.channelCount), std::uint32_t(n), format},
            out);
        EXPECT_TRUE(produced.has_value());
        result.insert(result.end(), out.begin(), out.begin() + std::ptrdiff_t(produced.value_or(0)));
    }
    return result;
}

std::span<const std::int16_t> steady(const Pcm& out) { return std::span(out).subspan(320, 15000); }

// The output length shows the rate converted; the level, that nothing was lost.
TEST(SpeexConverter, KeepsTheLevelOfAOneKilohertzToneAtTheRightRate) {
    const auto out = convert(tone(1000, 48000, 2, 48000), {48000, 2}, 1024);
    ASSERT_NEAR(double(out.size()), 16000, 64);
    EXPECT_NEAR(rmsDb(steady(out)), halfScaleSineDb, 0.5);
}

TEST(SpeexConverter, SuppressesTwelveKilohertzBySixtyDecibels) {
    const auto out = convert(tone(12000, 48000, 1, 48000), {48000, 1}, 480);
    EXPECT_LT(rmsDb(steady(out)), halfScaleSineDb - 60);
}

TEST(SpeexConverter, PassesSixteenKilohertzThroughSampleExact) {
    std::vector<float> in;
    Pcm expected;
    for (int v = -32768; v <= 32767; v += 7) {
        expected.push_back(std::int16_t(v));
        in.push_back(float(v) / 32768.0f);
    }
    EXPECT_EQ(convert(in, {16000, 1}, 1000), expected);
}

} // namespace
} // namespace hh
