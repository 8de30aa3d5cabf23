#include "core/wire/WalkiePacket.h"

#include <benchmark/benchmark.h>

namespace {

hh::WalkiePacket audioPacket() {
    hh::WalkiePacket p;
    p.type = hh::PacketType::audio;
    p.senderID = hh::Uuid::random();
    p.sequence = 1234;
    p.frameIndex = 56;
    p.payload.assign(hh::WalkieConfig::framePayloadBytes, 0x5A);
    return p;
}

void encodeAudioPacket(benchmark::State& state) {
    const auto p = audioPacket();
    for (auto _ : state) benchmark::DoNotOptimize(p.encode());
}
BENCHMARK(encodeAudioPacket);

void decodeAudioPacket(benchmark::State& state) {
    const auto bytes = audioPacket().encode();
    for (auto _ : state) benchmark::DoNotOptimize(hh::WalkiePacket::decode(bytes));
}
BENCHMARK(decodeAudioPacket);

} // namespace
