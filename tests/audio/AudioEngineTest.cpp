#include "core/audio/AudioEngine.h"
#include "support/FakeAudioPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace hh {
namespace {

struct EngineFixture : ::testing::Test {
    std::shared_ptr<FakeAudioDevices> devices = std::make_shared<FakeAudioDevices>();
    AudioEngine engine{std::make_unique<FakeAudioPlatform>(devices)};
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
