// Runs against the audio lab's sound server (scripts/audiolab.sh: PulseAudio or PipeWire), whose
// PULSE_SERVER the calling script exports: "mic" hears what is played into
// "micfeed", and "spk.monitor" records what we play.
#include "core/audio/AudioEngine.h"
#include "core/audio/linux/LinuxAudioPlatform.h"
#include "AudioTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace hh {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Signal = std::vector<double>;

Signal readMono(const std::filesystem::path& file, double& rate) {
    SF_INFO info{};
    SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<float> raw(std::size_t(info.frames * info.channels));
    sf_readf_float(f, raw.data(), info.frames);
    sf_close(f);
    rate = info.samplerate;
    Signal mono(std::size_t(info.frames));
    for (std::size_t i = 0; i < mono.size(); ++i) mono[i] = raw[i * std::size_t(info.channels)];
    return mono;
}

// The longest stretch whose 10 ms blocks are all louder than -30 dBFS.
std::span<const double> loudPart(const Signal& s, double rate) {
    const auto block = std::size_t(rate / 100);
    std::size_t bestStart = 0, bestLen = 0, start = 0, len = 0;
    for (std::size_t at = 0; at + block <= s.size(); at += block) {
        if (test::rmsDb(std::span(s).subspan(at, block)) <= -30) {
            len = 0;
            continue;
        }
        if (len == 0) start = at;
        len += block;
        if (len > bestLen) bestStart = start, bestLen = len;
    }
    return std::span(s).subspan(bestStart, bestLen);
}

// The loud part of `s` is a tone at `frequency`, half full scale, lasting `seconds`.
void expectTone(const Signal& s, double rate, double frequency, double seconds, double tolerance,
                std::initializer_list<double> others) {
    const auto tone = loudPart(s, rate);
    EXPECT_NEAR(double(tone.size()) / rate, seconds, tolerance);
    const double at = test::power(tone, frequency, rate);
    for (double f : others) EXPECT_GT(at, 1000 * test::power(tone, f, rate)) << f;
    EXPECT_NEAR(test::rmsDb(tone), test::halfScaleSineDb, 1.0);
}

TEST(AudioLab, ToneSpokenIntoMicComesOutAsFrames) {
    test::TempDir dir;
    const auto wav = dir.path / "tone.wav";
    ASSERT_TRUE(test::writeWav(wav, test::tone(1000, 48000, 2, 48000), 48000, 2));
    AudioEngine engine(makePulseAudioPlatform());
    engine.setNoiseSuppression(false);  // the tone's level is checked as captured
    std::mutex mutex;
    std::vector<Bytes> frames;
    engine.captureFrameHandler = [&](const Bytes& f) {
        std::lock_guard lock(mutex);
        frames.push_back(f);
    };
    engine.start();
    engine.startCapture();
    ASSERT_TRUE(engine.isCapturing());
    ASSERT_EQ(std::system(("paplay -d micfeed " + wav.string()).c_str()), 0);
    std::this_thread::sleep_for(100ms);
    const auto before = Clock::now();
    engine.stopCapture();
    std::printf("stopCapture took %.2f ms\n", std::chrono::duration<double, std::milli>(Clock::now() - before).count());
    EXPECT_FALSE(engine.isCapturing());
    std::lock_guard lock(mutex);
    EXPECT_GE(frames.size(), 50u);
    Signal samples;
    for (const auto& f : frames) {
        ASSERT_EQ(f.size(), 640u);
        for (std::size_t i = 0; i < 320; ++i) samples.push_back(test::sampleAt(f, i) / 32768.0);
    }
    expectTone(samples, 16000, 1000, 1.0, 0.05, {500, 900, 1100, 2000, 3000});
}

TEST(AudioLab, EnqueuedFramesAreHeardOnTheSpeaker) {
    test::TempDir dir;
    const auto recording = dir.path / "spk.wav";
    std::thread recorder([&] {
        std::system(("timeout 3.5 parecord --latency-msec=10 -d spk.monitor --file-format=wav " + recording.string()).c_str());
    });
    AudioEngine engine(makePulseAudioPlatform());
    engine.start();
    // The recorder needs a moment to start on a loaded machine; playback
    // itself opens only with the first enqueued frame.
    std::this_thread::sleep_for(1000ms);
    // 1.2 s of 440 Hz at half scale, one 20 ms frame every 20 ms.
    const auto tone = test::tone(440, 16000, 1, 60 * 320);
    auto due = Clock::now();
    for (std::size_t frame = 0; frame < 60; ++frame) {
        Bytes pcm(640);
        for (std::size_t i = 0; i < 320; ++i) {
            const auto v = std::uint16_t(std::lround(32768 * tone[frame * 320 + i]));
            pcm[2 * i] = std::uint8_t(v & 0xFF);
            pcm[2 * i + 1] = std::uint8_t(v >> 8);
        }
        engine.enqueue(pcm);
        std::this_thread::sleep_until(due += 20ms);
    }
    recorder.join();
    engine.stop();
    double rate = 0;
    const auto heard = readMono(recording, rate);
    ASSERT_GT(heard.size(), 0u);
    expectTone(heard, rate, 440, 1.2, 0.1, {300, 400, 480, 880, 1000});
}

TEST(AudioLab, WithoutSoundServerStartThrowsAndCaptureStaysOff) {
    const std::string saved = std::getenv("PULSE_SERVER") ? std::getenv("PULSE_SERVER") : "";
    ::setenv("PULSE_SERVER", "unix:/nonexistent/hollerhopper/native", 1);
    {
        AudioEngine engine(makePulseAudioPlatform());
        try {
            engine.start();
            ADD_FAILURE() << "start() did not throw";
        } catch (const AudioError& e) {
            std::printf("without a server: %s\n", e.what());
            EXPECT_GT(std::string(e.what()).size(), 10u);
        }
        engine.startCapture();
        EXPECT_FALSE(engine.isCapturing());
        engine.enqueue(Bytes(640, 0));
        engine.stopCapture();
        engine.stop();
    }
    ::setenv("PULSE_SERVER", saved.c_str(), 1);
}

} // namespace
} // namespace hh
