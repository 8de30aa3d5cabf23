#include "core/audio/AudioEngine.h"
#include "core/audio/JitterBuffer.h"
#include "core/audio/linux/LinuxAudioPlatform.h"
#include "core/audio/linux/SpeexConverter.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace {

// One output cycle of 320 samples from a playing buffer.
void jitterBufferRead320(benchmark::State& state) {
    hh::JitterBuffer jb;
    const std::vector<float> refill(28800, 0.25f);
    std::vector<float> out(320);
    jb.write(refill);
    for (auto _ : state) {
        if (jb.count() < 320) {
            state.PauseTiming();
            jb.write(refill);
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(jb.read(out));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(jitterBufferRead320);

// One received payload: 640 bytes converted and written.
void engineEnqueue640(benchmark::State& state) {
    hh::AudioEngine engine(hh::makeNullAudioPlatform());
    std::vector<std::uint8_t> pcm(640);
    for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = std::uint8_t(i * 37);
    for (auto _ : state) engine.enqueue(pcm);
}
BENCHMARK(engineEnqueue640);

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
