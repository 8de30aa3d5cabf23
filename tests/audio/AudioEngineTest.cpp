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

// Playback and capture fail on their own: a failing output start throws its
// description, a missing or refused microphone leaves capture off.
TEST_F(EngineFixture, StreamsThatCannotStart) {
    devices->setOutputStartFailure("Connection refused: no sound server");
    try {
        engine.start();
        ADD_FAILURE() << "start() did not throw";
    } catch (const AudioError& e) {
        EXPECT_STREQ(e.what(), "Connection refused: no sound server");
    }
    devices->makeCaptureUnavailable();
    engine.startCapture();
    EXPECT_FALSE(engine.isCapturing());
    EXPECT_FALSE(devices->isInputRunning());
    devices->setInputFormat(48000, 2);
    devices->setInputStartFails(true);
    engine.startCapture();
    EXPECT_FALSE(engine.isCapturing());
    devices->setInputStartFails(false);
    engine.startCapture();
    EXPECT_TRUE(engine.isCapturing());
}

// The platform's callbacks must not outlive the engine.
TEST_F(EngineFixture, DestructionStopsBothStreams) {
    auto other = std::make_unique<AudioEngine>(std::make_unique<FakeAudioPlatform>(devices));
    other->start();
    other->enqueue(Bytes(640 * 3, 0));
    other->startCapture();
    other.reset();
    EXPECT_FALSE(devices->isOutputOpen());
    EXPECT_FALSE(devices->pushInput(std::vector<float>(50, 0.25f)));
}

TEST_F(EngineFixture, PlaybackOpensOnAudioAndClosesAfterTheQuietPeriod) {
    const auto quiet = std::size_t(AudioEngine::quietSeconds * 16000);
    // A queue that runs dry conceals a few frames before it counts as quiet.
    const auto tail = std::size_t(PlayoutMixer::maximumTailConcealment * PlayoutMixer::frameSamples);
    const Bytes frame(640, 0x10);  // 0x1010 = 4112
    auto enqueue = [&](int frames) {
        for (int i = 0; i < frames; ++i) engine.enqueue(frame);
    };
    // Pulls `samples` in 160-sample blocks; how many carried audio, or -1 once the output is closed.
    auto pull = [&](std::size_t samples) {
        int played = 0;
        for (std::size_t done = 0; done < samples; done += 160) {
            const auto out = devices->pullOutput(160);
            if (out.empty()) return -1;
            played += int(std::count(out.begin(), out.end(), 4112.0f / 32768.0f));
        }
        return played;
    };
    engine.start();
    enqueue(2);
    EXPECT_EQ(pull(160), 0);  // priming: nothing plays before the third frame
    enqueue(1);
    EXPECT_EQ(pull(800), 800);
    EXPECT_NE(pull(quiet - 320), -1);  // a gap shorter than the quiet period keeps the stream
    // Audio that arrives as the quiet period runs out keeps the stream open.
    enqueue(3);
    EXPECT_EQ(pull(960), 960);
    EXPECT_NE(pull(tail + quiet - 160), -1);
    enqueue(3);
    EXPECT_EQ(pull(960), 960);
    // Nothing for the quiet period: closed, and the next audio reopens it with nothing lost.
    for (int reopen = 0; reopen < 2; ++reopen) {
        EXPECT_EQ(pull(tail + quiet + 160), -1);
        enqueue(1);
        EXPECT_TRUE(devices->isOutputOpen());
        enqueue(2);
        EXPECT_EQ(pull(960), 960);
    }
    // A stop discards what is queued, and a start primes afresh.
    enqueue(2);
    engine.stop();
    engine.start();
    enqueue(1);
    EXPECT_EQ(pull(160), 0);
    EXPECT_EQ(engine.mixer().queuedSamples(), 320);
}

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
