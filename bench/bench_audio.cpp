#include "core/audio/AudioEngine.h"
#include "core/audio/PlayoutMixer.h"
#include "core/audio/linux/LinuxAudioPlatform.h"
#include "core/audio/linux/SpeexConverter.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
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

} // namespace
