#include "support/FakeAudioPlatform.h"

#include "core/audio/linux/SpeexConverter.h"

#include <algorithm>

namespace hh {

void FakeAudioDevices::setInputFormat(double sampleRate, std::uint32_t channelCount) {
    std::lock_guard lock(mutex);
    inputFormat = {sampleRate, channelCount};
}

void FakeAudioDevices::setOutputStartFailure(std::optional<std::string> description) {
    std::lock_guard lock(mutex);
    outputStartFailure = std::move(description);
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

bool FakeAudioDevices::isInputRunning() const {
    std::lock_guard lock(mutex);
    return isInputRunningState;
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
    }
    void resume() override {
        // Ordered after a pull in progress, as the real platform's stream lock does.
        std::scoped_lock lock(d.outputDelivery, d.mutex);
        if (!d.isOutputRunningState || d.isOutputOpenState) return;
        d.isOutputOpenState = true;
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
        d.onBuffer = std::move(onBuffer);
        d.isInputRunningState = true;
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
    return SpeexConverter::make(from);
}

} // namespace hh
