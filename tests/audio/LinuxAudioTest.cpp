#include "core/audio/AudioEngine.h"
#include "core/audio/linux/LinuxAudioPlatform.h"
#include "core/audio/linux/SpeexConverter.h"
#include "AudioTestSupport.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <numbers>
#include <vector>

namespace hh {
namespace {

std::vector<float> tone(double frequency, double rate, std::uint32_t channels, std::size_t frames, double amplitude = 0.5) {
    std::vector<float> out(frames * channels);
    for (std::size_t i = 0; i < frames; ++i)
        for (std::uint32_t c = 0; c < channels; ++c)
            out[i * channels + c] = float(amplitude * std::sin(2 * std::numbers::pi * frequency * double(i) / rate));
    return out;
}

// Converts `in` in buffers of `bufferFrames`, as capture does.
std::vector<std::int16_t> convert(AudioConverter& conv, const std::vector<float>& in, AudioFormat format, std::size_t bufferFrames) {
    std::vector<std::int16_t> result;
    const std::size_t frames = in.size() / format.channelCount;
    for (std::size_t at = 0; at < frames; at += bufferFrames) {
        const auto n = std::min(bufferFrames, frames - at);
        AudioInputBuffer buffer{std::span<const float>(in).subspan(at * format.channelCount, n * format.channelCount),
                                std::uint32_t(n), format};
        std::vector<std::int16_t> out(std::size_t(double(n) * 16000 / format.sampleRate) + 32);
        const auto produced = conv.convert(buffer, out);
        EXPECT_TRUE(produced.has_value());
        result.insert(result.end(), out.begin(), out.begin() + std::ptrdiff_t(produced.value_or(0)));
    }
    return result;
}

double rmsDb(std::span<const std::int16_t> s) { return test::rmsDb(s, 32768); }
double power(std::span<const std::int16_t> s, double frequency) { return test::power(s, frequency, 16000); }

TEST(SpeexConverter, KeepsLevelAndFrequencyOfAOneKilohertzTone) {
    const AudioFormat format{48000, 2};
    auto conv = SpeexConverter::make(format);
    ASSERT_TRUE(conv);
    const auto out = convert(*conv, tone(1000, 48000, 2, 48000), format, 1024);
    ASSERT_NEAR(double(out.size()), 16000, 64);
    const auto steady = std::span<const std::int16_t>(out).subspan(320, 15000);
    EXPECT_NEAR(rmsDb(steady), 20 * std::log10(0.5 / std::sqrt(2.0)), 0.5);
    const double at1000 = power(steady, 1000);
    for (double f : {900.0, 980.0, 995.0, 1005.0, 1020.0, 1100.0, 3000.0}) EXPECT_GT(at1000, 100 * power(steady, f)) << f;
}

TEST(SpeexConverter, SuppressesTwelveKilohertzBySixtyDecibels) {
    const AudioFormat format{48000, 1};
    auto conv = SpeexConverter::make(format);
    ASSERT_TRUE(conv);
    const auto out = convert(*conv, tone(12000, 48000, 1, 48000), format, 480);
    const auto steady = std::span<const std::int16_t>(out).subspan(320, 15000);
    EXPECT_LT(rmsDb(steady), 20 * std::log10(0.5 / std::sqrt(2.0)) - 60);
}

TEST(SpeexConverter, PassesSixteenKilohertzThroughSampleExact) {
    const AudioFormat format{16000, 1};
    auto conv = SpeexConverter::make(format);
    ASSERT_TRUE(conv);
    std::vector<float> in;
    std::vector<std::int16_t> expected;
    for (int v = -32768; v <= 32767; v += 7) {
        expected.push_back(std::int16_t(v));
        in.push_back(float(v) / 32768.0f);
    }
    EXPECT_EQ(convert(*conv, in, format, 1000), expected);
}

TEST(SpeexConverter, CarriesStateAcrossBuffersAndClips) {
    const AudioFormat format{44100, 1};
    auto whole = SpeexConverter::make(format);
    auto pieces = SpeexConverter::make(format);
    const auto in = tone(440, 44100, 1, 44100, 1.2); // beyond full scale
    const auto a = convert(*whole, in, format, in.size());
    const auto b = convert(*pieces, in, format, 441);
    ASSERT_EQ(a.size(), b.size());
    int maxDiff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) maxDiff = std::max(maxDiff, std::abs(int(a[i]) - int(b[i])));
    EXPECT_LE(maxDiff, 1);
    EXPECT_EQ(*std::max_element(a.begin(), a.end()), 32767);
    EXPECT_EQ(*std::min_element(a.begin(), a.end()), -32768);
    // Mismatched buffers are refused, not misread.
    std::vector<std::int16_t> out(64);
    std::vector<float> stereo(20);
    EXPECT_FALSE(pieces->convert({stereo, 10, {44100, 2}}, out).has_value());
    EXPECT_FALSE(SpeexConverter::make({0, 1}));
    EXPECT_FALSE(SpeexConverter::make({48000, 0}));
}

using test::TempDir;

void writeWav(const std::filesystem::path& file, const std::vector<float>& samples, int rate, int channels) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(file.c_str(), SFM_WRITE, &info);
    ASSERT_TRUE(f) << sf_strerror(nullptr);
    sf_writef_float(f, samples.data(), sf_count_t(samples.size() / std::size_t(channels)));
    sf_close(f);
}

TEST(FileInputAudioPlatform, DeliversTheWholeFileInRealTimeAsFrames) {
    TempDir dir;
    const auto file = dir.path / "tone.wav";
    writeWav(file, tone(1000, 44100, 2, 13230), 44100, 2); // 0.3 s
    std::promise<void> delivered;
    AudioEngine engine(makeFileInputAudioPlatform(file, [&] { delivered.set_value(); }));
    std::vector<Bytes> frames;
    engine.captureFrameHandler = [&](const Bytes& frame) { frames.push_back(frame); };
    engine.start();
    const auto begin = std::chrono::steady_clock::now();
    engine.startCapture();
    ASSERT_TRUE(engine.isCapturing());
    ASSERT_EQ(delivered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    const auto took = std::chrono::steady_clock::now() - begin;
    engine.stopCapture();
    EXPECT_GE(took, std::chrono::milliseconds(280)); // paced, not dumped at once
    EXPECT_EQ(frames.size(), 15u);                   // 4800 samples, plus a padded tail if any
    for (const auto& f : frames) ASSERT_EQ(f.size(), 640u);
}

TEST(FileInputAudioPlatform, UnreadableFileIsAClearErrorUpFront) {
    TempDir dir;
    const auto missing = (dir.path / "nope.wav").string();
    try {
        makeFileInputAudioPlatform(missing);
        FAIL() << "no error for a missing file";
    } catch (const AudioError& e) {
        EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
        EXPECT_GT(std::string(e.what()).size(), missing.size() + 20) << e.what();
    }
    const auto junk = dir.path / "junk.wav";
    std::ofstream(junk) << "not audio at all";
    EXPECT_THROW(makeFileInputAudioPlatform(junk), AudioError);
}

TEST(NullAudioPlatform, PlaysNowhereAndHasNoMicrophone) {
    AudioEngine engine(makeNullAudioPlatform());
    EXPECT_NO_THROW(engine.start());
    engine.enqueue(std::vector<std::uint8_t>(640, 1));
    engine.startCapture();
    EXPECT_FALSE(engine.isCapturing());
    engine.stop();
}

} // namespace
} // namespace hh
