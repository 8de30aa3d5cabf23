#include "core/audio/CuePlayer.h"

#include "core/wire/WalkieConfig.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace hh {

namespace {

constexpr double rate = WalkieConfig::sampleRate;

std::size_t samplesFor(double ms) { return std::size_t(std::lround(ms * rate / 1000.0)); }

// One note: partials as (frequency multiple, relative amplitude), a 5 ms
// raised-cosine fade in and out so it does not click, and an optional
// exponential decay (a struck, bell-like note) with time constant `decayMs`.
struct Note {
    double frequency;
    double ms;
    float amplitude;
    std::vector<std::pair<double, double>> partials{{1.0, 1.0}};
    double decayMs = 0;
};

void append(std::vector<float>& out, const Note& note) {
    const std::size_t n = samplesFor(note.ms), fade = samplesFor(5);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = double(i) / rate;
        double v = 0;
        for (const auto& [multiple, weight] : note.partials)
            v += weight * std::sin(2 * std::numbers::pi * note.frequency * multiple * t);
        double envelope = 1;
        if (i < fade) envelope = 0.5 - 0.5 * std::cos(std::numbers::pi * double(i) / double(fade));
        if (n - i <= fade) envelope *= 0.5 - 0.5 * std::cos(std::numbers::pi * double(n - i) / double(fade));
        if (note.decayMs > 0) envelope *= std::exp(-t * 1000.0 / note.decayMs);
        out.push_back(float(note.amplitude * envelope * v));
    }
}

void rest(std::vector<float>& out, double ms) { out.insert(out.end(), samplesFor(ms), 0.0f); }

} // namespace

std::vector<float> CuePlayer::synthesize(Cue cue) {
    std::vector<float> out;
    // Soft odd harmonics make the failure cue a buzz, unlike the pure beeps.
    const std::vector<std::pair<double, double>> buzz{{1, 0.6}, {3, 0.25}, {5, 0.15}};
    switch (cue) {
    case Cue::onAir:  // two rising beeps: you are on
        append(out, {660, 70, 0.2f});
        rest(out, 30);
        append(out, {990, 70, 0.2f});
        break;
    case Cue::released:  // the same pair falling, shorter and softer: over
        append(out, {990, 50, 0.14f});
        rest(out, 25);
        append(out, {660, 60, 0.14f});
        break;
    case Cue::incoming:  // one bell-like ding with an octave overtone
        append(out, {1320, 220, 0.22f, {{1, 0.75}, {2, 0.25}}, 70});
        break;
    case Cue::incomingDirect:  // the ding twice, a fifth apart: for you
        append(out, {880, 120, 0.22f, {{1, 0.75}, {2, 0.25}}, 40});
        rest(out, 40);
        append(out, {1320, 200, 0.22f, {{1, 0.75}, {2, 0.25}}, 70});
        break;
    case Cue::failed:  // two low buzzes: it did not work
        append(out, {196, 110, 0.25f, buzz});
        rest(out, 60);
        append(out, {196, 110, 0.25f, buzz});
        break;
    }
    return out;
}

CuePlayer::CuePlayer() {
    for (Cue cue : {Cue::onAir, Cue::released, Cue::incoming, Cue::failed, Cue::incomingDirect}) sounds_[std::size_t(cue)] = synthesize(cue);
}

void CuePlayer::play(Cue cue) {
    std::lock_guard lock(mutex_);
    current_ = &sounds_[std::size_t(cue)];
    position_ = 0;
}

void CuePlayer::stop() {
    std::lock_guard lock(mutex_);
    current_ = nullptr;
}

bool CuePlayer::mixInto(std::span<float> out) {
    std::lock_guard lock(mutex_);
    if (!current_) return false;
    const std::size_t n = std::min(out.size(), current_->size() - position_);
    for (std::size_t i = 0; i < n; ++i) out[i] = std::clamp(out[i] + (*current_)[position_ + i], -1.0f, 1.0f);
    position_ += n;
    if (position_ >= current_->size()) current_ = nullptr;
    return true;
}

bool CuePlayer::isPlaying() const {
    std::lock_guard lock(mutex_);
    return current_ != nullptr;
}

} // namespace hh
