// Any sequence of compressed-audio payloads from one talker: the decoder never
// crashes and gives only whole 20 ms frames, in index order.
#include "core/audio/SpeechCodec.h"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    hh::SpeechDecoder decoder;
    // Each record: a byte of index step, a byte of length (x8), the payload.
    std::uint32_t index = 0, next = 0;
    decoder.beginSpurt();
    for (std::size_t at = 0; at + 2 <= size;) {
        index += data[at];
        const std::size_t length = std::min<std::size_t>(std::size_t(data[at + 1]) * 8, size - at - 2);
        for (const auto& frame : decoder.decode(index, std::span(data + at + 2, length))) {
            if (frame.pcm16le.size() != 640 || frame.frameIndex < next) std::abort();
            next = frame.frameIndex + 1;
        }
        at += 2 + length;
    }
    return 0;
}
