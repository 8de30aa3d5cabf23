#include "core/audio/linux/LinuxAudioPlatform.h"
#include "core/audio/linux/NullAudioPlatform.h"
#include "core/audio/linux/SpeexConverter.h"

namespace hh {

namespace {

class NoInput : public AudioInputStream {
public:
    AudioFormat nativeFormat() override { return {}; }
    bool start(std::uint32_t, BufferCallback) override { return false; }
    void stop() override {}
};

class NullAudioPlatform : public AudioPlatform {
public:
    AudioOutputStream& output() override { return out; }
    AudioInputStream& input() override { return in; }
    std::unique_ptr<AudioConverter> makeConverter(AudioFormat from) override { return SpeexConverter::make(from); }

private:
    NullAudioOutput out;
    NoInput in;
};

} // namespace

std::unique_ptr<AudioPlatform> makeNullAudioPlatform() {
    return std::make_unique<NullAudioPlatform>();
}

} // namespace hh
