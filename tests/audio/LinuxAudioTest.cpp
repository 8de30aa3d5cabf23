#include "core/audio/linux/SpeexConverter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <vector>

namespace hh {
namespace {

using Pcm = std::vector<std::int16_t>;

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

// At 16 kHz the converter is a plain copy: the fakes' sample-exact comparisons rely on it.
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
