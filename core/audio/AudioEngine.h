#pragma once

#include "core/audio/AudioPlatform.h"
#include "core/audio/CaptureProcessor.h"
#include "core/audio/CuePlayer.h"
#include "core/audio/PlayoutMixer.h"
#include "core/wire/WalkiePacket.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace hh {

// The one point of contact with the sound hardware: playback of received audio
// through the playout mixer (one queue per talker), and microphone capture cut into 640-byte frames of
// 16000 Hz mono 16-bit little-endian samples. Output and input are separate
// streams, so capture starts and stops without disturbing playback.
//
// All operations are called on the owner's (main) thread. The render callback
// runs on the output thread and touches only the mixer; conversion and
// framing run on the capture thread.
//
// Playback holds the device only while there is audio: after `quietSeconds`
// with nothing to play the output may close, and the next enqueue() or cue
// reopens it while the playout queue primes. Talk cues are added after the
// mixer, so they never delay received audio. Capture never sends faster than
// real time: frames beyond 50 a second plus `burstFrames` are dropped; those
// that go out pass through noise suppression and level control first.
class AudioEngine {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr double quietSeconds = 3.0;
    static constexpr int burstFrames = 10;

    // Whether audio works, as the platform reports it: nothing, or what is
    // wrong in words. Called on any thread. Assign before start().
    std::function<void(std::optional<std::string> error)> onHealthChanged;

    // Receives every captured frame (exactly 640 bytes), in order. Called on the
    // capture thread, and for the final padded frame on the thread calling
    // stopCapture(). Assign before start(); it is taken at startCapture().
    std::function<void(const Bytes& frame)> captureFrameHandler;

    // `now` paces the capture frame limit (tests pass a clock of their own).
    explicit AudioEngine(std::unique_ptr<AudioPlatform> platform, std::function<Clock::time_point()> now = Clock::now);
    // Stops both streams (without delivering a last frame) so that no platform
    // callback outlives the engine.
    ~AudioEngine();

    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    // Starts playback. Throws AudioError whose what() says what failed.
    void start();
    // Stops capture (delivering its last frame), then playback, and discards
    // queued audio so the next start() primes afresh.
    void stop();
    // A talker's talk start, one frame of theirs (16-bit little-endian mono,
    // placed by its index in the spurt), and their talk end or silence; see
    // PlayoutMixer. enqueue() returns false when the frame was dropped because
    // the mixer already plays as many talkers as it can.
    void beginSpurt(const Uuid& talker);
    bool enqueue(const Uuid& talker, std::uint32_t frameIndex, std::span<const std::uint8_t> pcm16le);
    // One Opus packet of theirs, decoded at its turn.
    bool enqueueCompressed(const Uuid& talker, std::uint32_t frameIndex, std::span<const std::uint8_t> packet);
    void endSpurt(const Uuid& talker, std::optional<std::uint32_t> frameCount);
    // Samples for playback as one unnamed talker, in the order given: cut into
    // frames, the last one padded with silence; a trailing odd byte is ignored.
    void enqueue(std::span<const std::uint8_t> pcm16le);

    // Starts capture unless running. Silent on failure: isCapturing() stays false.
    void startCapture();
    // Stops capture, hands out the last partial frame padded with zeros.
    void stopCapture();
    bool isCapturing() const { return isCapturingState; }

    // Noise suppression and level control on captured frames (on by default).
    void setNoiseSuppression(bool enabled) { processor->setEnabled(enabled); }
    bool isNoiseSuppressing() const { return processor->isEnabled(); }
    // Plays a talk cue on the speaker, over received audio, waking an idle output.
    void playCue(Cue cue);
    const CuePlayer& cuePlayer() const { return *cues; }

    // The playback queues, for tests and diagnostics.
    const PlayoutMixer& mixer() const { return *mixer_; }

private:
    // Asks an output that went idle to pull again.
    void wakeOutput();
    struct CaptureSession;
    struct Playback;

    std::unique_ptr<AudioPlatform> platform;
    std::function<Clock::time_point()> now;
    // Shared with the render callback, which may outlive a stopped stream's
    // last pull by a moment.
    std::shared_ptr<PlayoutMixer> mixer_;
    // Shared with the render callback like the mixer.
    std::shared_ptr<CuePlayer> cues;
    std::shared_ptr<Playback> playback;
    std::uint32_t unnamedFrameIndex_ = 0;
    AudioOutputStream::RenderCallback render;
    std::shared_ptr<CaptureSession> capture;
    // Kept for the engine's life, so its noise estimate and gain carry from
    // one press to the next; shared with the capture session.
    std::shared_ptr<CaptureProcessor> processor;
    bool isCapturingState = false;
};

} // namespace hh
