#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

namespace hh {

// An audio failure the user is told about; what() is a readable description.
class AudioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A device's native stream format. A sample rate of 0 means no usable device.
struct AudioFormat {
    double sampleRate = 0;
    std::uint32_t channelCount = 0;
};

// One microphone buffer in the device's own format: interleaved floats,
// frameCount * channelCount of them.
struct AudioInputBuffer {
    std::span<const float> samples;
    std::uint32_t frameCount = 0;
    AudioFormat format;
};

// Playback: pulls 16000 Hz mono float samples through `render` on the
// platform's real-time output thread; conversion to the device's rate and
// channel layout happens downstream.
class AudioOutputStream {
public:
    // Fills all of its argument. Must not allocate or block.
    using RenderCallback = std::function<void(std::span<float> out)>;

    virtual ~AudioOutputStream() = default;
    // Starts pulling through `render`. Throws AudioError describing what failed.
    // Starting a running stream does nothing.
    virtual void start(RenderCallback render) = 0;
    // Stops at once, without draining what the device still holds. After it
    // returns `render` is not running and is not called again.
    virtual void stop() = 0;
};

// Capture: delivers microphone buffers in the device's own format on a
// capture thread.
class AudioInputStream {
public:
    using BufferCallback = std::function<void(const AudioInputBuffer& buffer)>;

    virtual ~AudioInputStream() = default;
    // The default input device's native format; sampleRate 0 when there is none.
    virtual AudioFormat nativeFormat() = 0;
    // Starts delivering to `onBuffer` (buffers of about `preferredFrames`
    // frames). Returns false if the stream could not start.
    virtual bool start(std::uint32_t preferredFrames, BufferCallback onBuffer) = 0;
    // Stops without waiting for the device to drain. After it returns no
    // delivery is in progress and none follows.
    virtual void stop() = 0;
};

// Converts device-format buffers to 16000 Hz mono 16-bit, keeping the
// resampler's history from one buffer to the next.
class AudioConverter {
public:
    virtual ~AudioConverter() = default;
    // Converts all of `in`, writing at most out.size() samples. Returns how many
    // were written, or nothing on failure (the buffer then contributes nothing).
    virtual std::optional<std::size_t> convert(const AudioInputBuffer& in, std::span<std::int16_t> out) = 0;
};

// The sound services the audio engine uses: one output stream, one input stream
// (independent of each other) and converters for captured audio.
class AudioPlatform {
public:
    virtual ~AudioPlatform() = default;
    virtual AudioOutputStream& output() = 0;
    virtual AudioInputStream& input() = 0;
    // A converter from `from` to 16000 Hz mono 16-bit; null if impossible.
    virtual std::unique_ptr<AudioConverter> makeConverter(AudioFormat from) = 0;
};

} // namespace hh
