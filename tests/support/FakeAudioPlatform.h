#pragma once

#include "core/audio/AudioPlatform.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hh {

// In-memory sound devices for tests. The test keeps this object and hands a
// FakeAudioPlatform made from it to the code under test; it then plays the
// microphone (pushInput, from any thread) and the speaker (pullOutput).
class FakeAudioDevices {
public:
    // The microphone's native format; a sample rate of 0 makes capture unavailable.
    void setInputFormat(double sampleRate, std::uint32_t channelCount);
    void makeCaptureUnavailable() { setInputFormat(0, 0); }
    // The next output starts throw AudioError(description); nullopt lets them succeed.
    void setOutputStartFailure(std::optional<std::string> description);

    // Delivers one microphone buffer of interleaved samples in the input format,
    // on the calling thread. Returns false (and delivers nothing) unless capture runs.
    bool pushInput(std::span<const float> interleaved);
    // Pulls `frameCount` rendered 16 kHz mono samples; empty unless output runs
    // and is open (a render that returns false closes it until resume()).
    std::vector<float> pullOutput(std::size_t frameCount);
    // Makes the platform report `error` (nothing: audio works) to its health handler.
    void reportHealth(std::optional<std::string> error);

    bool isInputRunning() const;

private:
    friend class FakeAudioPlatform;
    class Output;
    class Input;

    mutable std::mutex mutex;
    // Held while a delivery or pull runs, so stop() can wait for it.
    std::mutex inputDelivery;
    std::mutex outputDelivery;
    AudioFormat inputFormat{48000, 2};
    std::optional<std::string> outputStartFailure;
    AudioOutputStream::RenderCallback render;
    AudioInputStream::BufferCallback onBuffer;
    bool isOutputRunningState = false;
    bool isOutputOpenState = false;
    AudioPlatform::HealthHandler healthHandler;
    bool isInputRunningState = false;
};

// An AudioPlatform over FakeAudioDevices, with the real converter: at 16000 Hz
// it passes 16-bit values through sample-exact.
class FakeAudioPlatform : public AudioPlatform {
public:
    explicit FakeAudioPlatform(std::shared_ptr<FakeAudioDevices> devices);
    ~FakeAudioPlatform() override;

    AudioOutputStream& output() override;
    AudioInputStream& input() override;
    std::unique_ptr<AudioConverter> makeConverter(AudioFormat from) override;
    void setHealthHandler(HealthHandler handler) override;

private:
    std::shared_ptr<FakeAudioDevices> devices;
    std::unique_ptr<AudioOutputStream> outputStream;
    std::unique_ptr<AudioInputStream> inputStream;
};

} // namespace hh
