#pragma once

// Measuring helpers shared by the audio tests.
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <numbers>
#include <span>
#include <string>

namespace hh::test {

// A scratch directory removed at the end of the test.
struct TempDir {
    std::filesystem::path path = std::filesystem::temp_directory_path() / ("hh-audio-" + std::to_string(::getpid()));
    TempDir() { std::filesystem::create_directories(path); }
    ~TempDir() { std::filesystem::remove_all(path); }
};

// Power of one frequency in `s`, by Goertzel's recurrence.
template <typename T>
double power(std::span<const T> s, double frequency, double rate, double scale = 1) {
    const double c = 2 * std::cos(2 * std::numbers::pi * frequency / rate);
    double s1 = 0, s2 = 0;
    for (auto v : s) {
        const double s0 = double(v) * scale + c * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return s1 * s1 + s2 * s2 - c * s1 * s2;
}

// RMS level in dB relative to full scale (`fullScale` being 1.0 or 32768).
template <typename T>
double rmsDb(std::span<const T> s, double fullScale = 1) {
    double sum = 0;
    for (auto v : s) sum += double(v) * double(v);
    return 10 * std::log10(sum / double(s.size()) / (fullScale * fullScale) + 1e-30);
}

} // namespace hh::test
