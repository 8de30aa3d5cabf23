#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <span>

struct SpeexPreprocessState_;

namespace hh {

// Noise suppression and automatic level control for the microphone, on whole
// 20 ms frames of 16 kHz mono 16-bit audio, in place: speexdsp's preprocessor
// removes the steady noise, then a level control of ours brings speech towards
// a common loudness. The preprocessor hands its input back one block late (its
// analysis window spans two blocks, overlapped and added), so it is fed 10 ms
// halves and suppression adds 10 ms rather than a whole frame; the level
// control keeps no lookahead and adds nothing.
//
// The level control adapts only on frames well above the residual noise floor
// and holds its gain in pauses (speexdsp's own AGC lifts the gain in pauses and
// with it the noise); pauses are lowered a further `pauseAttenuationDb` after a
// short hold, so word endings are kept, and the lowering lets go within the
// first frame of speech, so word starts are kept too.
//
// One instance lives as long as the engine, so its noise estimate and gain
// carry over from one press to the next and the first frames of a press are
// already clean. process() runs on the capture thread (or on the thread that
// stops capture, once no delivery runs); setEnabled() from any thread.
class CaptureProcessor {
public:
    static constexpr int frameSamples = 320;
    // What the preprocessor is fed at a time: its delay.
    static constexpr int blockSamples = frameSamples / 2;
    // Residual noise, relative to the noise estimate. Shallow on purpose: on
    // 10 ms blocks a deeper floor leaves a residual that flickers up to the
    // level of speech, so the pauses are never taken for pauses and keep it
    // (-40 dB: pauses 7 dB quieter; -12 dB and the pause lowering: 15 dB).
    static constexpr int noiseSuppressDb = -12;
    // Loudness aimed at, as power over the frames taken for speech (the louder
    // ones): speech then arrives at about -20 dBFS RMS.
    static constexpr float targetDb = -23.0f;
    // Gain limits: a quiet talker is lifted, a loud one lowered.
    static constexpr float maximumGainDb = 24.0f;
    static constexpr float minimumGainDb = -12.0f;
    // A frame this far above the noise floor is speech (the denoiser's
    // residual flickers up to about 15 dB above its floor)...
    static constexpr float speechAboveFloorDb = 15.0f;
    // ...and this far, speech loud enough to measure the talker's level by.
    static constexpr float levelAboveFloorDb = 20.0f;
    static constexpr float pauseAttenuationDb = 12.0f;
    // Frames a pause must last before it is lowered.
    static constexpr int pauseHoldFrames = 10;

    CaptureProcessor();
    ~CaptureProcessor();
    CaptureProcessor(const CaptureProcessor&) = delete;
    CaptureProcessor& operator=(const CaptureProcessor&) = delete;

    void setEnabled(bool enabled) { isEnabled_.store(enabled, std::memory_order_relaxed); }
    bool isEnabled() const { return isEnabled_.load(std::memory_order_relaxed); }

    // Processes one frame of frameSamples samples; other sizes and a disabled
    // processor leave the samples as they are.
    void process(std::span<std::int16_t> frame);
    // The same on 16-bit little-endian bytes (a wire frame).
    void processBytes(std::span<std::uint8_t> frame);

private:
    void controlLevel(std::span<std::int16_t> frame);

    SpeexPreprocessState_* state_;
    std::atomic<bool> isEnabled_{true};
    // Level control state, in dB relative to full scale. The noise floor is
    // the quietest frame of the last 1.6 s: minima of 8 blocks of 10 frames.
    static constexpr int floorBlockFrames = 10;
    std::array<float, 8> blockMinimaDb_{};  // until heard: no floor, all quiet
    int blockIndex_ = 0;
    int blockFrames_ = 0;
    float floorDb_ = 0.0f;
    double speechPower_ = 32768.0 * 32768.0 * 0.005;  // at the target
    float levelGainDb_ = 0.0f;  // the level control's
    float pauseGainDb_ = 0.0f;  // the pause's lowering, 0 while speaking
    float gain_ = 1.0f;         // both, linear, as applied at the end of the last frame
    int framesSinceSpeech_ = pauseHoldFrames;
};

} // namespace hh
