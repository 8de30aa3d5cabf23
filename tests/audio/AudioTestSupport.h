#pragma once

// Signal helpers shared by the audio tests.
#include <cmath>
#include <numbers>
#include <span>
#include <cstdint>
#include <vector>

namespace hh::test {

// A sine of `frames` frames, the same on every channel, interleaved.
inline std::vector<float> tone(double frequency, double rate, std::uint32_t channels, std::size_t frames,
                               double amplitude = 0.5) {
    std::vector<float> out(frames * channels);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = float(amplitude * std::sin(2 * std::numbers::pi * frequency * double(i / channels) / rate));
    return out;
}

// Sample i of a 16-bit little-endian frame.
inline std::int16_t sampleAt(const std::vector<std::uint8_t>& frame, std::size_t i) {
    return std::int16_t(std::uint16_t(frame[2 * i]) | std::uint16_t(frame[2 * i + 1]) << 8);
}

// Power of one frequency in `s`, by Goertzel's recurrence.
template <typename T> double power(std::span<const T> s, double frequency, double rate) {
    const double c = 2 * std::cos(2 * std::numbers::pi * frequency / rate);
    double s1 = 0, s2 = 0;
    for (auto v : s) {
        const double s0 = double(v) + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - c * s1 * s2;
}

// RMS level in dB relative to full scale (`fullScale` being 1.0 or 32768).
template <typename T> double rmsDb(std::span<const T> s, double fullScale = 1) {
    double sum = 0;
    for (auto v : s) sum += double(v) * double(v);
    return 10 * std::log10(sum / double(s.size()) / (fullScale * fullScale) + 1e-30);
}

// The level of a full-scale-0.5 sine.
inline const double halfScaleSineDb = 20 * std::log10(0.5 / std::sqrt(2.0));

} // namespace hh::test
