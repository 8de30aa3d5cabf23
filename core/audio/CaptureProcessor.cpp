#include "core/audio/CaptureProcessor.h"

#include "core/wire/WalkieConfig.h"

#include <speex/speex_preprocess.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <new>

namespace hh {

namespace {
// How fast the trackers follow, per 20 ms frame.
constexpr float speechFollow = 0.05f;     // speech loudness follows over ~0.4 s
constexpr float gainStepDb = 0.3f;        // and the gain moves at most 15 dB/s
constexpr float pauseStepDb = 1.2f;       // a pause is lowered over 0.2 s
constexpr float silenceDb = -70.0f;       // below this a frame is never speech

float toDb(double power) { return float(10 * std::log10(std::max(power, 1e-12) / (32768.0 * 32768.0))); }
float fromDb(float db) { return std::pow(10.0f, db / 20.0f); }
} // namespace

CaptureProcessor::CaptureProcessor()
    : state_(speex_preprocess_state_init(blockSamples, int(WalkieConfig::sampleRate))) {
    if (!state_) throw std::bad_alloc();
    blockMinimaDb_.fill(0.0f);
    int on = 1, off = 0;
    int suppress = noiseSuppressDb;
    speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_DENOISE, &on);
    speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, &suppress);
    speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_AGC, &off);
    speex_preprocess_ctl(state_, SPEEX_PREPROCESS_SET_DEREVERB, &off);
}

CaptureProcessor::~CaptureProcessor() { speex_preprocess_state_destroy(state_); }

void CaptureProcessor::process(std::span<std::int16_t> frame) {
    if (frame.size() != std::size_t(frameSamples) || !isEnabled()) return;
    for (int at = 0; at < frameSamples; at += blockSamples) speex_preprocess_run(state_, frame.data() + at);
    controlLevel(frame);
}

void CaptureProcessor::controlLevel(std::span<std::int16_t> frame) {
    double power = 0;
    for (auto v : frame) power += double(v) * v;
    const float frameDb = std::max(toDb(power / double(frame.size())), silenceDb);
    // Digital silence (a device starting, a dropout) says nothing about the
    // room's noise and would pull the floor down for seconds.
    if (frameDb > silenceDb) {
        if (blockFrames_ == 0) blockMinimaDb_[std::size_t(blockIndex_)] = frameDb;
        blockMinimaDb_[std::size_t(blockIndex_)] = std::min(blockMinimaDb_[std::size_t(blockIndex_)], frameDb);
        if (++blockFrames_ == floorBlockFrames) {
            blockFrames_ = 0;
            blockIndex_ = (blockIndex_ + 1) % int(blockMinimaDb_.size());
        }
    }
    floorDb_ = *std::min_element(blockMinimaDb_.begin(), blockMinimaDb_.end());
    const bool isSpeech = frameDb > silenceDb && frameDb > floorDb_ + speechAboveFloorDb;
    if (isSpeech) {
        // Followed as power, so loud syllables weigh as they sound.
        if (frameDb > floorDb_ + levelAboveFloorDb)
            speechPower_ += (power / double(frame.size()) - speechPower_) * speechFollow;
        framesSinceSpeech_ = 0;
    } else if (framesSinceSpeech_ < pauseHoldFrames) {
        ++framesSinceSpeech_;
    }
    // The talker's level moves slowly; the pause's lowering comes gently but
    // lets go at once, so the start of a word after a pause is not held down.
    const float wantedDb = std::clamp(targetDb - toDb(speechPower_), minimumGainDb, maximumGainDb);
    levelGainDb_ += std::clamp(wantedDb - levelGainDb_, -gainStepDb, gainStepDb);
    pauseGainDb_ = framesSinceSpeech_ >= pauseHoldFrames ? std::max(pauseGainDb_ - pauseStepDb, -pauseAttenuationDb) : 0.0f;
    const float nextGain = fromDb(levelGainDb_ + pauseGainDb_);
    // Ramped across the frame, so a gain change makes no step.
    const float step = (nextGain - gain_) / float(frame.size());
    for (auto& v : frame) {
        gain_ += step;
        v = std::int16_t(std::clamp(std::lround(float(v) * gain_), -32768L, 32767L));
    }
    gain_ = nextGain;
}

void CaptureProcessor::processBytes(std::span<std::uint8_t> frame) {
    if (frame.size() != std::size_t(frameSamples) * 2 || !isEnabled()) return;
    std::array<std::int16_t, frameSamples> samples;
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = std::int16_t(std::uint16_t(frame[2 * i]) | std::uint16_t(frame[2 * i + 1]) << 8);
    process(samples);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto v = std::uint16_t(samples[i]);
        frame[2 * i] = std::uint8_t(v & 0xFF);
        frame[2 * i + 1] = std::uint8_t(v >> 8);
    }
}

} // namespace hh
