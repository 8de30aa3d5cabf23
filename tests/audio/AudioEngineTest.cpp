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
    // Pushes `seconds` of a 1 kHz tone in buffers of `bufferFrames`.
    void pushTone(double seconds, std::uint32_t bufferFrames, double rate) {
        const auto total = std::uint32_t(seconds * rate);
        for (std::uint32_t done = 0; done < total; done += bufferFrames)
            ASSERT_TRUE(devices->pushInput(devices->makeTone(1000, 0.5f, std::min(bufferFrames, total - done))));
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

TEST_F(EngineFixture, PlaysOnlyAfterThreeFramesAndStopDiscardsQueuedAudio) {
    engine.start();
    const Uuid talker = Uuid::random();
    const Bytes frame(640, 0x10);  // 0x1010 = 4112
    engine.enqueue(talker, 0, frame);
    engine.enqueue(talker, 1, frame);
    EXPECT_EQ(devices->pullOutput(160), std::vector<float>(160, 0.0f));
    engine.enqueue(talker, 2, frame);
    EXPECT_EQ(devices->pullOutput(160), std::vector<float>(160, 4112.0f / 32768.0f));
    engine.stop();
    EXPECT_FALSE(devices->isOutputRunning());
    EXPECT_EQ(engine.mixer().queuedSamples(), 0);
    EXPECT_EQ(engine.mixer().queueCount(), 0u);
    engine.start();  // restart primes again
    engine.enqueue(talker, 3, frame);
    EXPECT_EQ(devices->pullOutput(160), std::vector<float>(160, 0.0f));
}

TEST_F(EngineFixture, FailingOutputStartThrowsItsDescription) {
    devices->setOutputStartFailure("Connection refused: no sound server");
    try {
        engine.start();
        FAIL() << "start() did not throw";
    } catch (const AudioError& e) {
        EXPECT_STREQ(e.what(), "Connection refused: no sound server");
    }
    // Capture is independent of playback and the engine stays usable.
    engine.startCapture();
    EXPECT_TRUE(engine.isCapturing());
    engine.stopCapture();
    devices->setOutputStartFailure(std::nullopt);
    EXPECT_NO_THROW(engine.start());
}

struct CaptureCase {
    double rate;
    std::uint32_t channels;
    std::uint32_t bufferFrames;
};

class CaptureFraming : public EngineFixture, public ::testing::WithParamInterface<CaptureCase> {};

// One second of tone is 16000 samples: 50 whole frames, whatever the device
// format; 10 ms more leave a partial frame that stopCapture() pads.
TEST_P(CaptureFraming, CutsWholeFramesAndPadsTheLast) {
    const auto c = GetParam();
    devices->setInputFormat(c.rate, c.channels);
    engine.start();
    engine.startCapture();
    ASSERT_TRUE(engine.isCapturing());
    pushTone(1.0, c.bufferFrames, c.rate);
    const auto whole = frameCount();
    EXPECT_NEAR(double(whole), 50, 1);
    pushTone(0.01, c.bufferFrames, c.rate);
    engine.stopCapture();
    EXPECT_FALSE(engine.isCapturing());
    EXPECT_FALSE(devices->isInputRunning());
    ASSERT_EQ(frameCount(), whole + 1);
    int nonZero = 0, peak = 0;
    for (std::size_t i = 0; i < 320; ++i) {
        // The last frame: ~160 tone samples, then zeros; the level survives conversion.
        nonZero += sampleAt(frames.back(), i) != 0;
        if (i >= 200) {
            ASSERT_EQ(sampleAt(frames.back(), i), 0) << i;
        }
        peak = std::max(peak, std::abs(int(sampleAt(frames[10], i))));
    }
    EXPECT_GT(nonZero, 100);
    EXPECT_NEAR(peak, 16384, 500);
    for (const auto& f : frames) ASSERT_EQ(f.size(), 640u);
    // Nothing more after stop, and a second stop delivers nothing.
    EXPECT_FALSE(devices->pushInput(devices->makeTone(1000, 0.5f, 480)));
    engine.stopCapture();
    EXPECT_EQ(frameCount(), whole + 1);
}

INSTANTIATE_TEST_SUITE_P(DeviceFormats, CaptureFraming,
                         ::testing::Values(CaptureCase{48000, 2, 4800}, CaptureCase{44100, 1, 1024},
                                           CaptureCase{16000, 1, 1024}),
                         [](const auto& info) {
                             return std::to_string(int(info.param.rate)) + "Hz" + std::to_string(info.param.channels) + "ch";
                         });

TEST_F(EngineFixture, StartCaptureTwiceStartsOnceAndWithoutHandlerStillDrains) {
    engine.captureFrameHandler = nullptr;
    engine.startCapture();
    engine.startCapture();
    EXPECT_EQ(devices->inputStartCount(), 1);
    pushTone(0.5, 4800, 48000);  // no handler: frames are dropped, nothing breaks
    engine.captureFrameHandler = [this](const Bytes& frame) { frames.push_back(frame); };
    engine.stopCapture();
    EXPECT_EQ(frameCount(), 0u);  // the accumulator was drained in whole frames
}

TEST_F(EngineFixture, NoUsableInputLeavesCaptureOff) {
    devices->makeCaptureUnavailable();
    engine.startCapture();
    EXPECT_FALSE(engine.isCapturing());
    EXPECT_EQ(devices->inputStartCount(), 0);
    devices->setInputFormat(48000, 2);
    devices->setInputStartFails(true);
    engine.startCapture();
    EXPECT_FALSE(engine.isCapturing());
    engine.stopCapture();
    // A converter that cannot be made: capture runs and produces nothing.
    devices->setInputStartFails(false);
    devices->setConverterUnavailable(true);
    engine.startCapture();
    EXPECT_TRUE(engine.isCapturing());
    pushTone(0.2, 480, 48000);
    engine.stopCapture();
    EXPECT_EQ(frameCount(), 0u);
}

// At 16 kHz samples pass sample-exact: a 1024-sample ramp is three frames and
// a rest that stop() pads.
TEST_F(EngineFixture, StopFlushesCaptureAndDestructionStopsStreams) {
    devices->setInputFormat(16000, 1);
    engine.start();
    engine.startCapture();
    std::vector<float> ramp(1024);
    for (std::size_t i = 0; i < ramp.size(); ++i) ramp[i] = float(i) / 32768.0f;
    ASSERT_TRUE(devices->pushInput(ramp));
    ASSERT_EQ(frameCount(), 3u);
    for (std::size_t i = 0; i < 320; ++i) ASSERT_EQ(sampleAt(frames[2], i), std::int16_t(640 + i));
    engine.stop();
    ASSERT_EQ(frameCount(), 4u);
    EXPECT_EQ(sampleAt(frames[3], 63), 1023);
    EXPECT_EQ(sampleAt(frames[3], 64), 0);
    auto other = std::make_unique<AudioEngine>(std::make_unique<FakeAudioPlatform>(devices));
    other->start();
    other->startCapture();
    other.reset();
    EXPECT_FALSE(devices->isOutputRunning());
    EXPECT_FALSE(devices->pushInput(std::vector<float>(50, 0.25f)));
}

TEST_F(EngineFixture, PlaybackOpensOnAudioAndClosesAfterTheQuietPeriod) {
    const auto quiet = std::size_t(AudioEngine::quietSeconds * 16000);
    // A queue that runs dry conceals a few frames before it counts as quiet.
    const auto tail = std::size_t(PlayoutMixer::maximumTailConcealment * PlayoutMixer::frameSamples);
    const Bytes frame(640, 0x10);
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
    enqueue(3);
    EXPECT_EQ(pull(960), 960);
    EXPECT_NE(pull(quiet - 320), -1);  // a gap shorter than the quiet period keeps the stream
    enqueue(3);
    EXPECT_EQ(pull(960), 960);
    EXPECT_EQ(devices->outputOpenCount(), 1);
    // Audio that arrives as the quiet period runs out keeps the stream open.
    EXPECT_NE(pull(tail + quiet - 160), -1);
    enqueue(1);
    EXPECT_EQ(pull(160), 0);  // still priming
    EXPECT_TRUE(devices->isOutputOpen());
    enqueue(2);
    EXPECT_EQ(pull(960), 960);
    // Nothing for the quiet period: closed, and the next audio reopens it with nothing lost.
    EXPECT_NE(pull(tail + quiet), -1);
    EXPECT_FALSE(devices->isOutputOpen());
    EXPECT_EQ(pull(160), -1);
    for (int reopen = 2; reopen <= 3; ++reopen) {
        enqueue(1);
        EXPECT_TRUE(devices->isOutputOpen());
        EXPECT_EQ(devices->outputOpenCount(), reopen);
        enqueue(2);
        EXPECT_EQ(pull(960), 960);
        EXPECT_EQ(pull(tail + quiet + 160), -1);
    }
    // A stop and start begin closed-until-audio again.
    engine.stop();
    engine.start();
    enqueue(3);
    EXPECT_EQ(pull(960), 960);
}

// A cue after a long quiet period opens the closed output and is played from
// its first sample to its last, added over received audio and never captured.
TEST_F(EngineFixture, ACueWakesTheIdleOutputAndIsHeardInFull) {
    const auto quiet = std::size_t(AudioEngine::quietSeconds * 16000);
    const auto& ding = CuePlayer::synthesize(Cue::incoming);
    engine.start();
    engine.enqueue(Bytes(640 * 3, 0));
    for (std::size_t done = 0; done < quiet + 16000; done += 160) devices->pullOutput(160);
    ASSERT_FALSE(devices->isOutputOpen());

    engine.playCue(Cue::incoming);
    EXPECT_TRUE(devices->isOutputOpen());
    engine.enqueue(Bytes(640 * 3, 0x10));  // received audio primes under the cue
    std::vector<float> heard;
    while (heard.size() < ding.size() + 960) {
        const auto block = devices->pullOutput(160);
        ASSERT_FALSE(block.empty()) << "closed while the cue sounded";
        heard.insert(heard.end(), block.begin(), block.end());
    }
    const float received = 4112.0f / 32768.0f;
    std::size_t mismatches = 0;
    // The received frames play from the first sample; once they run out the
    // mixer conceals a few frames, left out here.
    const auto tail = std::size_t(PlayoutMixer::maximumTailConcealment * PlayoutMixer::frameSamples);
    for (std::size_t i = 0; i < ding.size(); ++i) {
        if (i >= 960 && i < 960 + tail) continue;
        const float expected = std::clamp(ding[i] + (i < 960 ? received : 0.0f), -1.0f, 1.0f);
        if (std::abs(heard[i] - expected) > 1e-6f) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_FALSE(engine.cuePlayer().isPlaying());

    // The cue keeps the output open while it sounds, then the quiet period runs.
    engine.playCue(Cue::failed);
    const auto failedLength = CuePlayer::synthesize(Cue::failed).size();
    std::size_t pulled = 0;
    while (!devices->pullOutput(160).empty() && pulled < failedLength + quiet + 16000) pulled += 160;
    EXPECT_GE(pulled, failedLength + quiet - 16000);
    EXPECT_FALSE(devices->isOutputOpen());
}

TEST_F(EngineFixture, CaptureNeverSendsFasterThanRealTime) {
    devices->setInputFormat(16000, 1);
    tickMicros = 0;
    engine.startCapture();
    const struct {
        const char* what;
        int steps, stepMillis, framesPerStep, expectedOut;
    } cases[] = {
        {"a second of stale buffers at once: the burst allowance", 1, 0, 50, AudioEngine::burstFrames},
        {"110 ms later: five more frames' worth", 1, 110, 20, 5},
        {"after a pause the allowance is only the burst", 1, 3000, 50, AudioEngine::burstFrames},
        {"real time passes everything", 100, 20, 1, 100},
        {"a device twice as fast: real time, no more", 100, 20, 2, 100},
    };
    for (const auto& c : cases) {
        const auto before = frameCount();
        for (int i = 0; i < c.steps; ++i) {
            nowMicros += std::int64_t(c.stepMillis) * 1000;
            ASSERT_TRUE(devices->pushInput(std::vector<float>(std::size_t(c.framesPerStep) * 320, 0.25f)));
        }
        EXPECT_NEAR(double(frameCount() - before), c.expectedOut, 1) << c.what;
    }
    engine.stopCapture();
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
        EXPECT_FALSE(engine.isCapturing());
    }
    EXPECT_EQ(lateFrames, 0);
    EXPECT_EQ(badFrames, 0);
}

} // namespace
} // namespace hh
