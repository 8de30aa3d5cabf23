// Any datagram: decode never crashes, and what it accepts encodes back to the
// very same bytes (the header has no slack and the payload is copied as is).
#include "core/wire/WalkiePacket.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto packet = hh::WalkiePacket::decode(std::span(data, size));
    if (!packet) return 0;
    const hh::Bytes again = packet->encode();
    if (again.size() != size || std::memcmp(again.data(), data, size) != 0) std::abort();
    return 0;
}
