#pragma once

#include "core/audio/AudioPlatform.h"
#include "core/audio/PlayoutMixer.h"
#include "core/wire/WalkiePacket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace hh {

// The one point of contact with the sound hardware: playback of received audio
// through the playout mixer (one queue per talker), and microphone capture cut into 640-byte frames of
// 16000 Hz mono 16-bit little-endian samples. Output and input are separate
// streams, so capture starts and stops without disturbing playback.
//
// All operations are called on the owner's (main) thread. The render callback
// runs on the output thread and touches only the mixer; conversion and
// framing run on the capture thread.
class AudioEngine {
public:
    // Receives every captured frame (exactly 640 bytes), in order. Called on the
    // capture thread, and for the final padded frame on the thread calling
    // stopCapture(). Assign before start(); it is taken at startCapture().
    std::function<void(const Bytes& frame)> captureFrameHandler;

    explicit AudioEngine(std::unique_ptr<AudioPlatform> platform);
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
    void endSpurt(const Uuid& talker, std::optional<std::uint32_t> frameCount);
    // Samples for playback as one unnamed talker, in the order given: cut into
    // frames, the last one padded with silence; a trailing odd byte is ignored.
    void enqueue(std::span<const std::uint8_t> pcm16le);

    // Starts capture unless running. Silent on failure: isCapturing() stays false.
    void startCapture();
    // Stops capture, hands out the last partial frame padded with zeros.
    void stopCapture();
    bool isCapturing() const { return isCapturingState; }

    // The playback queues, for tests and diagnostics.
    const PlayoutMixer& mixer() const { return *mixer_; }

private:
    struct CaptureSession;

    std::unique_ptr<AudioPlatform> platform;
    // Shared with the render callback, which may outlive a stopped stream's
    // last pull by a moment.
    std::shared_ptr<PlayoutMixer> mixer_;
    std::uint32_t unnamedFrameIndex_ = 0;
    AudioOutputStream::RenderCallback render;
    std::shared_ptr<CaptureSession> capture;
    bool isCapturingState = false;
};

} // namespace hh
