#include "core/audio/linux/SpeexConverter.h"

#include <speex/speex_resampler.h>

#include <algorithm>
#include <cmath>

namespace hh {

namespace {

std::int16_t toPcm16(float v) {
    const float scaled = std::nearbyint(v * 32768.0f);
    return std::int16_t(std::clamp(scaled, -32768.0f, 32767.0f));
}

} // namespace

std::unique_ptr<SpeexConverter> SpeexConverter::make(AudioFormat from) {
    if (from.channelCount == 0 || !(from.sampleRate >= 1000) || from.sampleRate > 768000) return nullptr;
    const auto inRate = spx_uint32_t(std::lround(from.sampleRate));
    SpeexResamplerState* resampler = nullptr;
    if (inRate != 16000) {
        int err = 0;
        resampler = speex_resampler_init(1, inRate, 16000, quality, &err);
        if (!resampler || err != RESAMPLER_ERR_SUCCESS) return nullptr;
        // Drop the filter's leading zeros: they would only add delay.
        speex_resampler_skip_zeros(resampler);
    }
    return std::unique_ptr<SpeexConverter>(new SpeexConverter(from, resampler));
}

SpeexConverter::SpeexConverter(AudioFormat from, SpeexResamplerState_* resampler)
    : from(from), resampler(resampler) {}

SpeexConverter::~SpeexConverter() {
    if (resampler) speex_resampler_destroy(resampler);
}

std::optional<std::size_t> SpeexConverter::convert(const AudioInputBuffer& in, std::span<std::int16_t> out) {
    const auto channels = from.channelCount;
    if (in.format.channelCount != channels || in.samples.size() < std::size_t(in.frameCount) * channels)
        return std::nullopt;
    mono.resize(in.frameCount);
    if (channels == 1) {
        std::copy_n(in.samples.begin(), in.frameCount, mono.begin());
    } else {
        const float scale = 1.0f / float(channels);
        for (std::size_t f = 0; f < in.frameCount; ++f) {
            float sum = 0;
            for (std::size_t c = 0; c < channels; ++c) sum += in.samples[f * channels + c];
            mono[f] = sum * scale;
        }
    }
    if (!resampler) {
        const auto n = std::min(mono.size(), out.size());
        std::transform(mono.begin(), mono.begin() + std::ptrdiff_t(n), out.begin(), toPcm16);
        return n;
    }
    // One buffer in one call; loop only in case the output space runs out first.
    resampled.resize(out.size());
    spx_uint32_t consumed = 0;
    std::size_t written = 0;
    while (consumed < in.frameCount && written < resampled.size()) {
        spx_uint32_t inLen = in.frameCount - consumed;
        spx_uint32_t outLen = spx_uint32_t(resampled.size() - written);
        if (speex_resampler_process_float(resampler, 0, mono.data() + consumed, &inLen,
                                          resampled.data() + written, &outLen) != RESAMPLER_ERR_SUCCESS)
            return std::nullopt;
        if (inLen == 0 && outLen == 0) break;
        consumed += inLen;
        written += outLen;
    }
    std::transform(resampled.begin(), resampled.begin() + std::ptrdiff_t(written), out.begin(), toPcm16);
    return written;
}

} // namespace hh
