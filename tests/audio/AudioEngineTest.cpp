#include "core/audio/AudioEngine.h"
#include "core/audio/FakeAudioPlatform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace hh {
namespace {

struct EngineFixture : ::testing::Test {
    std::shared_ptr<FakeAudioDevices> devices = std::make_shared<FakeAudioDevices>();
    AudioEngine engine{std::make_unique<FakeAudioPlatform>(devices)};
    std::mutex framesMutex;
    std::vector<Bytes> frames;

    void collectFrames() {
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

std::int16_t sampleAt(const Bytes& frame, std::size_t i) {
    return std::int16_t(std::uint16_t(frame[2 * i]) | std::uint16_t(frame[2 * i + 1]) << 8);
}

TEST_F(EngineFixture, EnqueueScalesClampsAndIgnoresOddByte) {
    engine.start();
    // -32768, 32767, 1, then a lone byte.
    const std::vector<std::uint8_t> pcm{0x00, 0x80, 0xFF, 0x7F, 0x01, 0x00, 0x42};
    engine.enqueue(pcm);
    EXPECT_EQ(engine.jitterBuffer().count(), 3);
    engine.enqueue(std::vector<std::uint8_t>{0x01});
    engine.enqueue({});
    EXPECT_EQ(engine.jitterBuffer().count(), 3);
    engine.enqueue(std::vector<std::uint8_t>(641, 0));
    EXPECT_EQ(engine.jitterBuffer().count(), 323);
    engine.enqueue(std::vector<std::uint8_t>(1280, 0));
    const auto out = devices->pullOutput(4);
    EXPECT_EQ(out[0], -1.0f);
    EXPECT_EQ(out[1], 0.999969482421875f);
    EXPECT_EQ(out[2], 3.0517578125e-05f);
    EXPECT_EQ(out[3], 0.0f);
}

TEST_F(EngineFixture, PlaysOnlyAfterThreeFramesAndStopDiscardsQueuedAudio) {
    engine.start();
    const std::vector<std::uint8_t> frame(640, 0x10); // 0x1010 = 4112
    engine.enqueue(frame);
    engine.enqueue(frame);
    EXPECT_EQ(devices->pullOutput(160), std::vector<float>(160, 0.0f));
    engine.enqueue(frame);
    EXPECT_EQ(devices->pullOutput(160), std::vector<float>(160, 4112.0f / 32768.0f));

    engine.stop();
    EXPECT_FALSE(devices->isOutputRunning());
    EXPECT_EQ(engine.jitterBuffer().count(), 0);
    engine.start(); // restart plays from the same buffer, priming again
    engine.enqueue(frame);
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
    collectFrames();
    engine.start();
    engine.startCapture();
    ASSERT_TRUE(engine.isCapturing());
    pushTone(1.0, c.bufferFrames, c.rate);
    EXPECT_NEAR(double(frameCount()), 50, 1);
    const auto whole = frameCount();
    pushTone(0.01, c.bufferFrames, c.rate);
    engine.stopCapture();
    EXPECT_FALSE(engine.isCapturing());
    EXPECT_FALSE(devices->isInputRunning());
    ASSERT_EQ(frameCount(), whole + 1);
    for (const auto& f : frames) ASSERT_EQ(f.size(), 640u);
    // The last frame: ~160 tone samples, then zeros.
    const auto& last = frames.back();
    int nonZero = 0;
    for (std::size_t i = 0; i < 320; ++i) nonZero += sampleAt(last, i) != 0;
    EXPECT_GT(nonZero, 100);
    for (std::size_t i = 200; i < 320; ++i) ASSERT_EQ(sampleAt(last, i), 0) << i;
    // Tone level survives conversion: peak near 0.5 full scale.
    int peak = 0;
    for (std::size_t i = 0; i < 320; ++i) peak = std::max(peak, std::abs(int(sampleAt(frames[10], i))));
    EXPECT_NEAR(peak, 16384, 500);
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

TEST_F(EngineFixture, SixteenKilohertzBufferYieldsThreeFramesAndKeepsTheRest) {
    devices->setInputFormat(16000, 1);
    collectFrames();
    engine.startCapture();
    std::vector<float> buffer(1024);
    for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = float(i) / 32768.0f;
    ASSERT_TRUE(devices->pushInput(buffer));
    ASSERT_EQ(frameCount(), 3u);
    for (std::size_t i = 0; i < 320; ++i) ASSERT_EQ(sampleAt(frames[2], i), std::int16_t(640 + i));
    engine.stopCapture();
    ASSERT_EQ(frameCount(), 4u); // 128 bytes left, padded
    EXPECT_EQ(sampleAt(frames[3], 63), 1023);
    EXPECT_EQ(sampleAt(frames[3], 64), 0);
}

TEST_F(EngineFixture, StartCaptureTwiceStartsOnceAndWithoutHandlerStillDrains) {
    engine.startCapture();
    engine.startCapture();
    EXPECT_EQ(devices->inputStartCount(), 1);
    pushTone(0.5, 4800, 48000); // no handler: frames are dropped, nothing breaks
    collectFrames();
    engine.stopCapture();
    EXPECT_EQ(frameCount(), 0u); // the accumulator was drained in whole frames
}

TEST_F(EngineFixture, NoUsableInputLeavesCaptureOff) {
    collectFrames();
    devices->makeCaptureUnavailable();
    engine.startCapture();
    EXPECT_FALSE(engine.isCapturing());
    EXPECT_EQ(devices->inputStartCount(), 0);

    devices->setInputFormat(48000, 2);
    devices->setInputStartFails(true);
    engine.startCapture();
    EXPECT_FALSE(engine.isCapturing());
    engine.stopCapture();
    EXPECT_EQ(frameCount(), 0u);

    // A converter that cannot be made: capture runs and produces nothing.
    devices->setInputStartFails(false);
    devices->setConverterUnavailable(true);
    engine.startCapture();
    EXPECT_TRUE(engine.isCapturing());
    pushTone(0.2, 480, 48000);
    engine.stopCapture();
    EXPECT_EQ(frameCount(), 0u);
}

TEST_F(EngineFixture, StopFlushesCaptureAndDestructionStopsStreams) {
    devices->setInputFormat(16000, 1);
    collectFrames();
    engine.start();
    engine.startCapture();
    ASSERT_TRUE(devices->pushInput(std::vector<float>(50, 0.25f)));
    engine.stop();
    ASSERT_EQ(frameCount(), 1u);
    EXPECT_EQ(sampleAt(frames[0], 49), 8192);
    EXPECT_EQ(sampleAt(frames[0], 50), 0);

    auto other = std::make_unique<AudioEngine>(std::make_unique<FakeAudioPlatform>(devices));
    other->start();
    other->startCapture();
    other.reset();
    EXPECT_FALSE(devices->isOutputRunning());
    EXPECT_FALSE(devices->pushInput(std::vector<float>(50, 0.25f)));
}

// stopCapture() racing deliveries on a capture thread: every frame is whole,
// none arrives after stopCapture() returned, and the last one is the padded one.
TEST_F(EngineFixture, StopCaptureRacingDeliveries) {
    devices->setInputFormat(48000, 2);
    std::atomic<bool> isStopped{false};
    std::atomic<int> lateFrames{0};
    std::atomic<int> badFrames{0};
    engine.captureFrameHandler = [&](const Bytes& frame) {
        if (isStopped) ++lateFrames;
        if (frame.size() != 640) ++badFrames;
    };
    for (int round = 0; round < 50; ++round) {
        isStopped = false;
        engine.startCapture();
        ASSERT_TRUE(engine.isCapturing());
        std::atomic<bool> isRunning{true};
        std::thread capture([&] {
            const auto buffer = std::vector<float>(2 * 441, 0.1f);
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
