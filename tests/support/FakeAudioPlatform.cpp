#include "support/FakeAudioPlatform.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace hh {

void FakeAudioDevices::setInputFormat(double sampleRate, std::uint32_t channelCount) {
    std::lock_guard lock(mutex);
    inputFormat = {sampleRate, channelCount};
}

void FakeAudioDevices::setOutputStartFailure(std::optional<std::string> description) {
    std::lock_guard lock(mutex);
    outputStartFailure = std::move(description);
}

void FakeAudioDevices::setInputStartFails(bool fails) {
    std::lock_guard lock(mutex);
    isInputStartFailing = fails;
}

void FakeAudioDevices::setConverterUnavailable(bool unavailable) {
    std::lock_guard lock(mutex);
    isConverterUnavailable = unavailable;
}

bool FakeAudioDevices::pushInput(std::span<const float> interleaved) {
    std::lock_guard delivery(inputDelivery);
    AudioInputBuffer buffer;
    {
        std::lock_guard lock(mutex);
        if (!isInputRunningState) return false;
        buffer.format = inputFormat;
    }
    buffer.samples = interleaved;
    buffer.frameCount = std::uint32_t(interleaved.size() / std::max<std::uint32_t>(1, buffer.format.channelCount));
    onBuffer(buffer);
    return true;
}

std::vector<float> FakeAudioDevices::makeTone(double frequency, float amplitude, std::uint32_t frameCount) {
    std::lock_guard lock(mutex);
    const auto channels = std::max<std::uint32_t>(1, inputFormat.channelCount);
    std::vector<float> out(std::size_t(frameCount) * channels);
    const double step = 2 * std::numbers::pi * frequency / inputFormat.sampleRate;
    for (std::uint32_t i = 0; i < frameCount; ++i) {
        const auto v = float(amplitude * std::sin(tonePhase));
        tonePhase = std::fmod(tonePhase + step, 2 * std::numbers::pi);
        std::fill_n(out.begin() + std::ptrdiff_t(i * channels), channels, v);
    }
    return out;
}

std::vector<float> FakeAudioDevices::pullOutput(std::size_t frameCount) {
    std::lock_guard delivery(outputDelivery);
    {
        std::lock_guard lock(mutex);
        if (!isOutputRunningState || !isOutputOpenState) return {};
    }
    std::vector<float> out(frameCount, 0.5f);
    if (!render(out)) {
        std::lock_guard lock(mutex);
        isOutputOpenState = false;
    }
    return out;
}

void FakeAudioDevices::reportHealth(std::optional<std::string> error) {
    AudioPlatform::HealthHandler handler;
    {
        std::lock_guard lock(mutex);
        handler = healthHandler;
    }
    if (handler) handler(std::move(error));
}

bool FakeAudioDevices::isOutputOpen() const {
    std::lock_guard lock(mutex);
    return isOutputRunningState && isOutputOpenState;
}

int FakeAudioDevices::outputOpenCount() const {
    std::lock_guard lock(mutex);
    return outputOpens;
}

bool FakeAudioDevices::isOutputRunning() const {
    std::lock_guard lock(mutex);
    return isOutputRunningState;
}

bool FakeAudioDevices::isInputRunning() const {
    std::lock_guard lock(mutex);
    return isInputRunningState;
}

int FakeAudioDevices::inputStartCount() const {
    std::lock_guard lock(mutex);
    return inputStarts;
}

class FakeAudioDevices::Output : public AudioOutputStream {
public:
    explicit Output(FakeAudioDevices& d) : d(d) {}
    void start(RenderCallback render) override {
        std::scoped_lock lock(d.outputDelivery, d.mutex);
        if (d.outputStartFailure) throw AudioError(*d.outputStartFailure);
        if (d.isOutputRunningState) return;
        d.render = std::move(render);
        d.isOutputRunningState = true;
        d.isOutputOpenState = true;
        ++d.outputOpens;
    }
    void resume() override {
        // Ordered after a pull in progress, as the real platform's stream lock does.
        std::scoped_lock lock(d.outputDelivery, d.mutex);
        if (!d.isOutputRunningState || d.isOutputOpenState) return;
        d.isOutputOpenState = true;
        ++d.outputOpens;
    }
    void stop() override {
        std::scoped_lock lock(d.outputDelivery, d.mutex);
        d.isOutputRunningState = false;
        d.isOutputOpenState = false;
        d.render = nullptr;
    }

private:
    FakeAudioDevices& d;
};

class FakeAudioDevices::Input : public AudioInputStream {
public:
    explicit Input(FakeAudioDevices& d) : d(d) {}
    AudioFormat nativeFormat() override {
        std::lock_guard lock(d.mutex);
        return d.inputFormat;
    }
    bool start(std::uint32_t, BufferCallback onBuffer) override {
        std::scoped_lock lock(d.inputDelivery, d.mutex);
        if (d.isInputRunningState) return true;
        if (d.isInputStartFailing) return false;
        d.onBuffer = std::move(onBuffer);
        d.isInputRunningState = true;
        ++d.inputStarts;
        return true;
    }
    void stop() override {
        // Waits for a delivery in progress on another thread.
        std::scoped_lock lock(d.inputDelivery, d.mutex);
        d.isInputRunningState = false;
        d.onBuffer = nullptr;
    }

private:
    FakeAudioDevices& d;
};

namespace {

class LinearConverter : public AudioConverter {
public:
    explicit LinearConverter(AudioFormat from) : from(from) {}

    std::optional<std::size_t> convert(const AudioInputBuffer& in, std::span<std::int16_t> out) override {
        const auto channels = std::max<std::uint32_t>(1, from.channelCount);
        if (in.samples.size() < std::size_t(in.frameCount) * channels) return std::nullopt;
        std::size_t written = 0;
        for (std::uint32_t f = 0; f < in.frameCount; ++f) {
            float mono = 0;
            for (std::uint32_t c = 0; c < channels; ++c) mono += in.samples[std::size_t(f) * channels + c];
            mono /= float(channels);
            ++framesIn;
            // Output sample k is input position k * rate / 16000, emitted once
            // the input sample at or after it has arrived.
            const auto current = framesIn - 1;
            while (true) {
                const double position = double(produced) * from.sampleRate / 16000.0;
                if (std::ceil(position) > double(current)) break;
                const double frac = position - std::floor(position);
                const double v = std::floor(position) == double(current) ? mono : previous + (mono - previous) * frac;
                if (written < out.size())
                    out[written++] = std::int16_t(std::clamp(std::lround(v * 32768.0), -32768L, 32767L));
                ++produced;
            }
            previous = mono;
        }
        return written;
    }

private:
    AudioFormat from;
    std::int64_t framesIn = 0;
    std::int64_t produced = 0;
    float previous = 0;
};

} // namespace

FakeAudioPlatform::FakeAudioPlatform(std::shared_ptr<FakeAudioDevices> devices)
    : devices(std::move(devices)),
      outputStream(std::make_unique<FakeAudioDevices::Output>(*this->devices)),
      inputStream(std::make_unique<FakeAudioDevices::Input>(*this->devices)) {}

FakeAudioPlatform::~FakeAudioPlatform() {
    inputStream->stop();
    outputStream->stop();
}

void FakeAudioPlatform::setHealthHandler(HealthHandler handler) {
    std::lock_guard lock(devices->mutex);
    devices->healthHandler = std::move(handler);
}

AudioOutputStream& FakeAudioPlatform::output() { return *outputStream; }
AudioInputStream& FakeAudioPlatform::input() { return *inputStream; }

std::unique_ptr<AudioConverter> FakeAudioPlatform::makeConverter(AudioFormat from) {
    {
        std::lock_guard lock(devices->mutex);
        if (devices->isConverterUnavailable) return nullptr;
    }
    return std::make_unique<LinearConverter>(from);
}

} // namespace hh
