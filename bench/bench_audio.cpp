#include "core/audio/AudioEngine.h"
#include "core/audio/CaptureProcessor.h"
#include "core/audio/CuePlayer.h"
#include "core/audio/PlayoutMixer.h"
#include "core/audio/SpeechCodec.h"
#include "core/audio/linux/LinuxAudioPlatform.h"
#include "core/audio/linux/SpeexConverter.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <numbers>
#include <random>
#include <vector>

namespace {

// One second of receiving: 50 frames from each of `talkers` talkers placed
// and mixed out in 320-sample output cycles, as the main and output threads do.
// Time per iteration is CPU per second of audio.
void receiveOneSecond(benchmark::State& state) {
    const auto talkers = std::size_t(state.range(0));
    hh::PlayoutMixer mixer;
    std::vector<hh::Uuid> ids;
    for (std::size_t t = 0; t < talkers; ++t) ids.push_back(hh::Uuid::random());
    std::vector<std::uint8_t> pcm(640);
    for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = std::uint8_t(i * 37);
    std::vector<float> out(320);
    std::uint32_t index = 0;
    for (auto _ : state) {
        for (int frame = 0; frame < 50; ++frame, ++index) {
            for (const auto& id : ids) mixer.write(id, index, pcm);
            benchmark::DoNotOptimize(mixer.render(out));
        }
    }
    state.SetLabel("per second of audio");
}
BENCHMARK(receiveOneSecond)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// One second with every tenth frame lost: concealment and cross-fades included.
void receiveOneSecondTenPercentLoss(benchmark::State& state) {
    hh::PlayoutMixer mixer;
    const auto id = hh::Uuid::random();
    std::vector<std::uint8_t> pcm(640);
    for (std::size_t i = 0; i < 320; ++i) {
        const auto v = std::uint16_t(std::int16_t(8000 * std::sin(2 * std::numbers::pi * 220 * double(i) / 16000)));
        pcm[2 * i] = std::uint8_t(v & 0xFF);
        pcm[2 * i + 1] = std::uint8_t(v >> 8);
    }
    std::vector<float> out(320);
    std::uint32_t index = 0;
    for (auto _ : state) {
        for (int frame = 0; frame < 50; ++frame, ++index) {
            if (index % 10 != 5) mixer.write(id, index, pcm);
            benchmark::DoNotOptimize(mixer.render(out));
        }
    }
    state.SetLabel("per second of audio");
}
BENCHMARK(receiveOneSecondTenPercentLoss)->Unit(benchmark::kMicrosecond);

// One second of 48 kHz stereo microphone audio, in 1024-frame buffers as
// capture delivers it, converted to 16 kHz mono 16-bit. Time per iteration is
// CPU per second of audio.
void convertOneSecond48kStereo(benchmark::State& state) {
    const hh::AudioFormat format{48000, 2};
    auto converter = hh::SpeexConverter::make(format);
    std::vector<float> in(48000 * 2);
    for (std::size_t i = 0; i < 48000; ++i)
        in[2 * i] = in[2 * i + 1] = float(0.3 * std::sin(2 * std::numbers::pi * 440 * double(i) / 48000));
    std::vector<std::int16_t> out(1024 / 3 + 32);
    for (auto _ : state) {
        std::size_t produced = 0;
        for (std::size_t at = 0; at < 48000; at += 1024) {
            const auto n = std::min<std::size_t>(1024, 48000 - at);
            hh::AudioInputBuffer buffer{std::span<const float>(in).subspan(at * 2, n * 2), std::uint32_t(n), format};
            produced += converter->convert(buffer, out).value_or(0);
        }
        benchmark::DoNotOptimize(produced);
    }
    state.SetLabel("per second of audio");
}
BENCHMARK(convertOneSecond48kStereo)->Unit(benchmark::kMicrosecond);

// Noise suppression and level control on one second of noisy speech-like
// audio (50 frames). Time per iteration / 1 s is the share of a core it adds
// to transmitting (target for all of transmit: at most 2 %). The counter
// "delayMs" is the delay it adds: the lag of the best match between input and
// output, found on broadband noise.
void captureProcessingOneSecond(benchmark::State& state) {
    std::mt19937 random(7);
    std::normal_distribution<double> normal;
    std::vector<std::int16_t> second(16000);
    for (std::size_t i = 0; i < second.size(); ++i) {
        const double syllable = 0.5 + 0.5 * std::sin(2 * std::numbers::pi * 4 * double(i) / 16000);
        second[i] = std::int16_t(std::clamp(3000 * syllable * std::sin(0.3 * double(i)) + 300 * normal(random),
                                            -32768.0, 32767.0));
    }
    hh::CaptureProcessor processor;
    std::vector<std::int16_t> work(second.size());
    for (auto _ : state) {
        work = second;
        for (std::size_t at = 0; at < work.size(); at += 320)
            processor.process(std::span<std::int16_t>(work).subspan(at, 320));
        benchmark::DoNotOptimize(work.data());
    }

    // Delay: loud white noise through a fresh processor, compared at lags of
    // 0..2 frames.
    hh::CaptureProcessor fresh;
    std::vector<std::int16_t> in(16000 * 3), out;
    for (auto& v : in) v = std::int16_t(std::clamp(6000 * normal(random), -32768.0, 32767.0));
    out = in;
    for (std::size_t at = 0; at < out.size(); at += 320) fresh.process(std::span<std::int16_t>(out).subspan(at, 320));
    int bestLag = 0;
    double best = -1;
    for (int lag = 0; lag <= 640; ++lag) {
        double sum = 0;
        for (std::size_t i = 16000; i + std::size_t(lag) < out.size(); ++i) sum += double(in[i]) * out[i + std::size_t(lag)];
        if (sum > best) best = sum, bestLag = lag;
    }
    state.counters["delayMs"] = bestLag / 16.0;
    state.SetLabel("per second of audio");
}
BENCHMARK(captureProcessingOneSecond)->Unit(benchmark::kMicrosecond);

// Speech-like audio, one second as 50 frames of 16-bit little-endian samples.
std::vector<hh::Bytes> speechLikeSecond() {
    std::mt19937 random(7);
    std::normal_distribution<double> normal;
    std::vector<hh::Bytes> frames(50, hh::Bytes(640));
    for (std::size_t i = 0; i < 16000; ++i) {
        const double syllable = 0.5 + 0.5 * std::sin(2 * std::numbers::pi * 4 * double(i) / 16000);
        const auto v = std::uint16_t(std::int16_t(std::clamp(
            3000 * syllable * std::sin(2 * std::numbers::pi * 180 * double(i) / 16000) + 300 * normal(random), -32768.0, 32767.0)));
        frames[i / 320][2 * (i % 320)] = std::uint8_t(v & 0xFF);
        frames[i / 320][2 * (i % 320) + 1] = std::uint8_t(v >> 8);
    }
    return frames;
}

// Compressing one second of speech (50 frames): the share of a core it adds
// to transmitting (target for all of transmit: at most 2 %). Counter "bytesPerSecond":
// what one talker puts on the wire, IP and UDP headers included (PCM: 34,700).
void speechEncodeOneSecond(benchmark::State& state) {
    const auto second = speechLikeSecond();
    hh::SpeechEncoder encoder;
    std::size_t bytes = 0;
    for (auto _ : state) {
        bytes = 0;
        for (const auto& frame : second) bytes += encoder.encode(frame).size() + hh::WalkiePacket::headerSize + 28;
    }
    state.counters["bytesPerSecond"] = double(bytes);
    state.SetLabel("per second of audio");
}
BENCHMARK(speechEncodeOneSecond)->Unit(benchmark::kMicrosecond);

// Decoding one second of one talker with every tenth packet lost (each lost
// frame rebuilt from the next packet's copy).
void speechDecodeOneSecondTenPercentLoss(benchmark::State& state) {
    hh::SpeechEncoder encoder;
    std::vector<hh::Bytes> packets;
    for (const auto& frame : speechLikeSecond()) packets.push_back(encoder.encode(frame));
    hh::SpeechDecoder decoder;
    std::uint32_t index = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < packets.size(); ++i, ++index)
            if (index % 10 != 5) benchmark::DoNotOptimize(decoder.decode(index, packets[i]));
    }
    state.SetLabel("per second of audio");
}
BENCHMARK(speechDecodeOneSecondTenPercentLoss)->Unit(benchmark::kMicrosecond);

// One output cycle of 320 samples with a cue sounding.
void cueMix320(benchmark::State& state) {
    hh::CuePlayer player;
    std::vector<float> out(320);
    for (auto _ : state) {
        if (!player.isPlaying()) player.play(hh::Cue::incoming);
        benchmark::DoNotOptimize(player.mixInto(out));
    }
}
BENCHMARK(cueMix320);

} // namespace
