#include "core/audio/CaptureProcessor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace hh {
namespace {

// Steady white noise at about -30 dBFS RMS, reproducible.
class Noise {
public:
    std::vector<std::int16_t> frame() {
        std::vector<std::int16_t> out(CaptureProcessor::frameSamples);
        for (auto& v : out) v = std::int16_t(std::lround(std::clamp(normal(random) * 1036.0, -32768.0, 32767.0)));
        return out;
    }

private:
    std::mt19937 random{42};
    std::normal_distribution<double> normal;
};

double rmsDb(const std::vector<std::int16_t>& x) {
    double sum = 0;
    for (auto v : x) sum += double(v) * v;
    return 10 * std::log10(std::max(sum / double(x.size()), 1e-9) / (32768.0 * 32768.0));
}

TEST(CaptureProcessorTest, LeavesFramesAloneWhenOffOrOfAnotherSize) {
    CaptureProcessor processor;
    Noise noise;
    auto frame = noise.frame();
    const auto original = frame;
    processor.setEnabled(false);
    processor.process(frame);
    EXPECT_EQ(frame, original);
    processor.setEnabled(true);
    std::span<std::int16_t> shorter(frame.data(), frame.size() - 1);
    processor.process(shorter);
    EXPECT_EQ(frame, original);
}

// Two seconds of steady noise teach it the noise; a later press starts clean
// at once, because the estimate carries over.
TEST(CaptureProcessorTest, SteadyNoiseDropsByTenDecibelsFromTheFirstFrameOfTheNextPress) {
    CaptureProcessor processor;
    Noise noise;
    for (int i = 0; i < 100; ++i) {
        auto frame = noise.frame();
        processor.process(frame);
    }
    auto frame = noise.frame();
    const double before = rmsDb(frame);
    processor.process(frame);
    EXPECT_LE(rmsDb(frame), before - 10) << "in: " << before << " dBFS";
}

// Pauses are lowered, but a word after a long pause is not: the pause's
// lowering lets go within the word's first frame, so its start is not swallowed.
TEST(CaptureProcessorTest, AWordAfterALongPauseIsNotHeldDown) {
    CaptureProcessor processor;
    Noise noise;
    std::vector<std::int16_t> pause;
    for (int i = 0; i < 150; ++i) {
        auto frame = noise.frame();
        processor.process(frame);
        if (i >= 140) pause.insert(pause.end(), frame.begin(), frame.end());
    }
    // A vowel-like tone at -20 dBFS over the noise, for 0.2 s.
    std::vector<std::int16_t> in, out;
    for (int i = 0; i < 10; ++i) {
        auto frame = noise.frame();
        for (std::size_t k = 0; k < frame.size(); ++k) {
            const double t = double(i * CaptureProcessor::frameSamples + int(k)) / 16000;
            frame[k] = std::int16_t(std::clamp(frame[k] + 4600 * std::sin(2 * 3.14159265 * 220 * t), -32768.0, 32767.0));
        }
        in.insert(in.end(), frame.begin(), frame.end());
        processor.process(frame);
        out.insert(out.end(), frame.begin(), frame.end());
    }
    const auto from = [](const std::vector<std::int16_t>& x, int frame) {
        return std::vector<std::int16_t>(x.begin() + frame * CaptureProcessor::frameSamples, x.end());
    };
    EXPECT_LE(rmsDb(pause), -45);  // the pause, lowered
    // From the second frame on, the word comes through at its own level.
    EXPECT_GE(rmsDb(from(out, 1)), rmsDb(from(in, 1)) - 3) << "in: " << rmsDb(from(in, 1)) << " dBFS";
}

} // namespace
} // namespace hh
