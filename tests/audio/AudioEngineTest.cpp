#include "core/audio/AudioEngine.h"
#include "support/FakeAudioPlatform.h"
#include "AudioTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

namespace hh {
namespace {

using test::sampleAt;

struct EngineFixture : ::testing::Test {
    std::shared_ptr<FakeAudioDevices> devices = std::make_shared<FakeAudioDevices>();
    // The engine's clock: each reading advances it by `tickMicros`, so by
    // default every frame arrives 20 ms after the one before, in real time.
    std::atomic<std::int64_t> nowMicros{0};
    std::atomic<std::int64_t> tickMicros{20000};
    AudioEngine engine{std::make_unique<FakeAudioPlatform>(devices), [this] {
                           return AudioEngine::Clock::time_point(std::chrono::microseconds(nowMicros += tickMicros));
                       }};
    std::mutex framesMutex;
    std::vector<Bytes> frames;

    EngineFixture() {
        // These tests check framing sample by sample.
        engine.setNoiseSuppression(false);
        engine.captureFrameHandler = [this](const Bytes& frame) {
            std::lock_guard lock(framesMutex);
            frames.push_back(frame);
        };
    }
    std::size_t frameCount() {
        std::lock_guard lock(framesMutex);
        return frames.size();
    }
};

TEST_F(EngineFixture, EnqueueScalesAndMakesWholeFrames) {
    engine.start();
    const Uuid talker = Uuid::random();
    // -32768, 32767, 1 then silence; a short frame with a lone byte; an overlong one.
    Bytes first(640, 0);
    std::copy_n(Bytes{0x00, 0x80, 0xFF, 0x7F, 0x01, 0x00}.begin(), 6, first.begin());
    EXPECT_TRUE(engine.enqueue(talker, 0, first));
    EXPECT_TRUE(engine.enqueue(talker, 1, Bytes{0x02, 0x00, 0x42}));
    EXPECT_TRUE(engine.enqueue(talker, 2, Bytes(1280, 0x01)));
    EXPECT_EQ(engine.mixer().queuedSamples(), 960);
    EXPECT_EQ(devices->pullOutput(4), (std::vector<float>{-1.0f, 0.999969482421875f, 3.0517578125e-05f, 0.0f}));
    const auto rest = devices->pullOutput(956);
    EXPECT_EQ(rest[316], 2.0f / 32768.0f);
    EXPECT_EQ(rest[317], 0.0f);  // the short frame is padded to 20 ms
    EXPECT_EQ(rest[955], 257.0f / 32768.0f);
    EXPECT_EQ(engine.mixer().queuedSamples(), 0);
}

struct CaptureCase {
    double rate;
    std::uint32_t channels;
    std::uint32_t bufferFrames;
};

class CaptureFraming : public EngineFixture, public ::testing::WithParamInterface<CaptureCase> {};

// 1.01 s of tone is about 16160 samples: 50 whole frames, whatever the device
// format, and a partial one that stopCapture() pads with zeros.
TEST_P(CaptureFraming, CutsWholeFramesAndPadsTheLast) {
    const auto c = GetParam();
    devices->setInputFormat(c.rate, c.channels);
    engine.startCapture();
    ASSERT_TRUE(engine.isCapturing());
    const auto tone = test::tone(1000, c.rate, c.channels, std::size_t(1.01 * c.rate));
    for (std::size_t at = 0; at < tone.size(); at += c.bufferFrames * c.channels) {
        const auto n = std::min<std::size_t>(c.bufferFrames * c.channels, tone.size() - at);
        ASSERT_TRUE(devices->pushInput(std::span(tone).subspan(at, n)));
    }
    engine.stopCapture();
    EXPECT_FALSE(devices->isInputRunning());
    ASSERT_NEAR(double(frameCount()), 51, 1);
    int nonZero = 0, peak = 0;
    for (std::size_t i = 0; i < 320; ++i) {
        nonZero += sampleAt(frames.back(), i) != 0;
        peak = std::max(peak, std::abs(int(sampleAt(frames[10], i))));
    }
    EXPECT_GT(nonZero, 50);   // the rest of the tone...
    EXPECT_LT(nonZero, 300);  // ...then zeros
    EXPECT_NEAR(peak, 16384, 500);  // the level survives conversion
    for (const auto& f : frames) ASSERT_EQ(f.size(), 640u);
    EXPECT_FALSE(devices->pushInput(tone));  // nothing more after stop
}

INSTANTIATE_TEST_SUITE_P(DeviceFormats, CaptureFraming,
                         ::testing::Values(CaptureCase{48000, 2, 4800}, CaptureCase{44100, 1, 1024},
                                           CaptureCase{16000, 1, 1024}),
                         [](const auto& info) {
                             return std::to_string(int(info.param.rate)) + "Hz" + std::to_string(info.param.channels) + "ch";
                         });

// stopCapture() racing deliveries on a capture thread: every frame is whole,
// none arrives after stopCapture() returned.
TEST_F(EngineFixture, StopCaptureRacingDeliveries) {
    devices->setInputFormat(48000, 2);
    std::atomic<bool> isStopped{false};
    std::atomic<int> lateFrames{0}, badFrames{0};
    engine.captureFrameHandler = [&](const Bytes& frame) {
        lateFrames += isStopped;
        badFrames += frame.size() != 640;
    };
    for (int round = 0; round < 50; ++round) {
        isStopped = false;
        engine.startCapture();
        ASSERT_TRUE(engine.isCapturing());
        std::atomic<bool> isRunning{true};
        std::thread capture([&] {
            const std::vector<float> buffer(2 * 441, 0.1f);
            while (isRunning) devices->pushInput(buffer);
        });
        std::this_thread::sleep_for(std::chrono::microseconds(200 + 37 * round));
        engine.stopCapture();
        isStopped = true;
        isRunning = false;
        capture.join();
    }
    EXPECT_EQ(lateFrames, 0);
    EXPECT_EQ(badFrames, 0);
}

} // namespace
} // namespace hh
