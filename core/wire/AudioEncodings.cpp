#include "core/wire/AudioEncodings.h"

#include <algorithm>

namespace hh {

const char* toString(AudioEncoding encoding) {
    switch (encoding) {
    case AudioEncoding::pcm: return "pcm";
    case AudioEncoding::opus: return "opus";
    }
    return "unknown";
}

Bytes EncodingAnnouncement::encode() const {
    const std::size_t count = decodesOpus ? 2 : 1;
    Bytes out(1 + count + name.size());
    out[0] = std::uint8_t(count);
    out[1] = std::uint8_t(AudioEncoding::pcm);
    if (decodesOpus) out[2] = std::uint8_t(AudioEncoding::opus);
    std::copy(name.begin(), name.end(), out.begin() + std::ptrdiff_t(1 + count));
    return out;
}

std::optional<EncodingAnnouncement> EncodingAnnouncement::decode(const Bytes& payload) {
    if (payload.empty() || payload.size() < 1u + payload[0]) return std::nullopt;
    EncodingAnnouncement out;
    const std::size_t count = payload[0];
    for (std::size_t i = 1; i <= count; ++i)
        if (payload[i] == std::uint8_t(AudioEncoding::opus)) out.decodesOpus = true;
    out.name.assign(payload.begin() + std::ptrdiff_t(1 + count), payload.end());
    return out;
}

} // namespace hh
