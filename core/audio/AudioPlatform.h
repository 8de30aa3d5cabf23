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
//
// The device is held only while there is something to play: when `render`
// returns false it has had nothing to play for a while, and the platform may
// close its stream (the sound card can then suspend) until resume().
class AudioOutputStream {
public:
    // Fills all of its argument and says whether to keep pulling. Must not
    // allocate or block.
    using RenderCallback = std::function<bool(std::span<float> out)>;

    virtual ~AudioOutputStream() = default;
    // Makes playback ready and pulls through `render` from the next resume().
    // Throws AudioError describing what failed; a platform that reconnects on
    // its own keeps trying after that. Starting a started stream does nothing.
    virtual void start(RenderCallback render) = 0;
    // There is audio to play: pull again after `render` returned false. Never
    // blocks on the sound server; the stream may come up a moment later.
    virtual void resume() = 0;
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
    // Answered from what is already known: never waits on the sound server.
    virtual AudioFormat nativeFormat() = 0;
    // Starts delivering to `onBuffer` (buffers of about `preferredFrames`
    // frames). Returns false if the stream could not start. A platform that
    // reconnects on its own may accept the start while its server is away and
    // deliver once it is back.
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

    // Whether the sound services work: nothing, or what is wrong in words
    // ("no sound server is running"). Reported on any thread, at each change.
    using HealthHandler = std::function<void(std::optional<std::string> error)>;
    // Assigned before the streams start; platforms that cannot fail later keep quiet.
    virtual void setHealthHandler(HealthHandler) {}
};

} // namespace hh
