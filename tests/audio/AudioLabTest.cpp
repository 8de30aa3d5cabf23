// Runs against the audio lab's PulseAudio server (scripts/audiolab.sh), whose
// PULSE_SERVER the calling script exports: "mic" hears what is played into
// "micfeed", and "spk.monitor" records what we play.
#include "core/audio/AudioEngine.h"
#include "core/audio/linux/LinuxAudioPlatform.h"
#include "AudioTestSupport.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

namespace hh {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using test::TempDir;

void writeToneWav(const std::filesystem::path& file, double frequency, double seconds) {
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    std::vector<float> samples(std::size_t(seconds * 48000) * 2);
    for (std::size_t i = 0; i < samples.size() / 2; ++i)
        samples[2 * i] = samples[2 * i + 1] = float(0.5 * std::sin(2 * std::numbers::pi * frequency * double(i) / 48000));
    SNDFILE* f = sf_open(file.c_str(), SFM_WRITE, &info);
    ASSERT_TRUE(f);
    sf_writef_float(f, samples.data(), sf_count_t(samples.size() / 2));
    sf_close(f);
}

std::vector<double> readMono(const std::filesystem::path& file, double& rate) {
    SF_INFO info{};
    SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
    if (!f) return {};
    std::vector<float> raw(std::size_t(info.frames * info.channels));
    sf_readf_float(f, raw.data(), info.frames);
    sf_close(f);
    rate = info.samplerate;
    std::vector<double> mono(std::size_t(info.frames));
    for (std::size_t i = 0; i < mono.size(); ++i) mono[i] = raw[i * std::size_t(info.channels)];
    return mono;
}

double power(std::span<const double> s, double frequency, double rate) { return test::power(s, frequency, rate); }
double rmsDb(std::span<const double> s) { return test::rmsDb(s); }

// The longest stretch whose 10 ms blocks are all louder than -30 dBFS.
std::span<const double> loudPart(const std::vector<double>& s, double rate) {
    const auto block = std::size_t(rate / 100);
    std::size_t bestStart = 0, bestLen = 0, start = 0, len = 0;
    for (std::size_t at = 0; at + block <= s.size(); at += block) {
        if (rmsDb(std::span(s).subspan(at, block)) > -30) {
            if (len == 0) start = at;
            len += block;
            if (len > bestLen) bestStart = start, bestLen = len;
        } else {
            len = 0;
        }
    }
    return std::span(s).subspan(bestStart, bestLen);
}

struct FrameLog {
    std::mutex mutex;
    std::vector<Bytes> frames;
    void attach(AudioEngine& engine) {
        engine.captureFrameHandler = [this](const Bytes& f) {
            std::lock_guard lock(mutex);
            frames.push_back(f);
        };
    }
    std::vector<double> samples() {
        std::lock_guard lock(mutex);
        std::vector<double> out;
        for (const auto& f : frames)
            for (std::size_t i = 0; i + 1 < f.size(); i += 2)
                out.push_back(double(std::int16_t(std::uint16_t(f[i]) | std::uint16_t(f[i + 1]) << 8)) / 32768.0);
        return out;
    }
};

TEST(AudioLab, ToneSpokenIntoMicComesOutAsFrames) {
    TempDir dir;
    writeToneWav(dir.path / "tone.wav", 1000, 1.0);
    AudioEngine engine(makePulseAudioPlatform());
    FrameLog log;
    log.attach(engine);
    engine.start();
    engine.startCapture();
    ASSERT_TRUE(engine.isCapturing());
    ASSERT_EQ(std::system(("paplay -d micfeed " + (dir.path / "tone.wav").string()).c_str()), 0);
    std::this_thread::sleep_for(100ms);
    const auto before = Clock::now();
    engine.stopCapture();
    const auto stopTook = std::chrono::duration<double, std::milli>(Clock::now() - before).count();
    std::printf("stopCapture took %.2f ms\n", stopTook);
    EXPECT_FALSE(engine.isCapturing());
    for (const auto& f : log.frames) ASSERT_EQ(f.size(), 640u);
    EXPECT_GE(log.frames.size(), 50u);
    const auto all = log.samples();
    const auto tone = loudPart(all, 16000);
    EXPECT_NEAR(double(tone.size()), 16000, 800);
    const double at1000 = power(tone, 1000, 16000);
    for (double f : {500.0, 900.0, 1100.0, 2000.0, 3000.0}) EXPECT_GT(at1000, 1000 * power(tone, f, 16000)) << f;
    EXPECT_NEAR(rmsDb(tone), 20 * std::log10(0.5 / std::sqrt(2.0)), 1.0);
}

TEST(AudioLab, EnqueuedFramesAreHeardOnTheSpeaker) {
    TempDir dir;
    const auto recording = dir.path / "spk.wav";
    std::thread recorder([&] {
        std::system(("timeout 2.5 parecord --latency-msec=10 -d spk.monitor --file-format=wav " + recording.string()).c_str());
    });
    AudioEngine engine(makePulseAudioPlatform());
    engine.start();
    std::this_thread::sleep_for(400ms);
    // 1.2 s of 440 Hz at half scale, one 20 ms frame every 20 ms.
    auto due = Clock::now();
    double phase = 0;
    for (int frame = 0; frame < 60; ++frame) {
        std::vector<std::uint8_t> pcm(640);
        for (std::size_t i = 0; i < 320; ++i) {
            const auto v = std::int16_t(std::lround(16384 * std::sin(phase)));
            phase += 2 * std::numbers::pi * 440 / 16000;
            pcm[2 * i] = std::uint8_t(std::uint16_t(v) & 0xFF);
            pcm[2 * i + 1] = std::uint8_t(std::uint16_t(v) >> 8);
        }
        engine.enqueue(pcm);
        due += 20ms;
        std::this_thread::sleep_until(due);
    }
    recorder.join();
    engine.stop();
    double rate = 0;
    const auto heard = readMono(recording, rate);
    ASSERT_GT(heard.size(), 0u);
    const auto tone = loudPart(heard, rate);
    EXPECT_NEAR(double(tone.size()) / rate, 1.2, 0.1);
    const double at440 = power(tone, 440, rate);
    for (double f : {300.0, 400.0, 480.0, 880.0, 1000.0}) EXPECT_GT(at440, 1000 * power(tone, f, rate)) << f;
    EXPECT_NEAR(rmsDb(tone), 20 * std::log10(0.5 / std::sqrt(2.0)), 1.0);
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
        engine.enqueue(std::vector<std::uint8_t>(640, 0));
        engine.stopCapture();
        engine.stop();
    }
    ::setenv("PULSE_SERVER", saved.c_str(), 1);
}

} // namespace
} // namespace hh
