#pragma once

#include "core/audio/AudioPlatform.h"
#include "core/audio/JitterBuffer.h"
#include "core/wire/WalkiePacket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

namespace hh {

// The one point of contact with the sound hardware: playback of received audio
// through the jitter buffer, and microphone capture cut into 640-byte frames of
// 16000 Hz mono 16-bit little-endian samples. Output and input are separate
// streams, so capture starts and stops without disturbing playback.
//
// All operations are called on the owner's (main) thread. The render callback
// runs on the output thread and touches only the jitter buffer; conversion and
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
    // Queues 16-bit little-endian mono samples for playback; a trailing odd
    // byte is ignored.
    void enqueue(std::span<const std::uint8_t> pcm16le);

    // Starts capture unless running. Silent on failure: isCapturing() stays false.
    void startCapture();
    // Stops capture, hands out the last partial frame padded with zeros.
    void stopCapture();
    bool isCapturing() const { return isCapturingState; }

    // The playback queue, for tests and diagnostics.
    const JitterBuffer& jitterBuffer() const { return *jitter; }

private:
    struct CaptureSession;

    std::unique_ptr<AudioPlatform> platform;
    // Shared with the render callback, which may outlive a stopped stream's
    // last pull by a moment.
    std::shared_ptr<JitterBuffer> jitter;
    AudioOutputStream::RenderCallback render;
    std::shared_ptr<CaptureSession> capture;
    bool isCapturingState = false;
};

} // namespace hh
