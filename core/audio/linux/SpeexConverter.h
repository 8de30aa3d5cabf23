#pragma once

#include "core/audio/AudioPlatform.h"

#include <memory>
#include <vector>

struct SpeexResamplerState_;

namespace hh {

// Device format to 16000 Hz mono 16-bit: channels averaged to mono, then
// speexdsp's resampler at quality 5 (about 3 ms of delay from 48 kHz, images
// far below the 16-bit floor), then rounding and clipping. At 16000 Hz the
// resampler is bypassed, so 16-bit input comes out sample-exact.
class SpeexConverter : public AudioConverter {
public:
    static constexpr int quality = 5;

    // Null when the format cannot be converted (no channels, bad rate).
    static std::unique_ptr<SpeexConverter> make(AudioFormat from);
    ~SpeexConverter() override;

    std::optional<std::size_t> convert(const AudioInputBuffer& in, std::span<std::int16_t> out) override;

private:
    SpeexConverter(AudioFormat from, SpeexResamplerState_* resampler);

    AudioFormat from;
    SpeexResamplerState_* resampler; // null when the rates match
    std::vector<float> mono;
    std::vector<float> resampled;
};

} // namespace hh
