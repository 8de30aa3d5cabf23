#pragma once

#include <cstdint>
#include <string_view>

namespace hh {

// The constants every instance on a network must agree on. Two builds that
// differ in any of them do not interoperate.
struct WalkieConfig {
    WalkieConfig() = delete;

    static constexpr std::uint8_t protocolVersion = 1;
    static constexpr std::string_view multicastHost = "239.42.42.42";
    static constexpr std::uint16_t multicastPort = 54321;
    static constexpr double sampleRate = 16000.0;
    static constexpr std::uint32_t channelCount = 1;
    static constexpr std::int64_t bytesPerSample = 2;
    static constexpr std::int64_t frameSampleCount = 320;
    static constexpr std::int64_t framePayloadBytes = frameSampleCount * bytesPerSample;
    static constexpr double jitterBufferSeconds = 0.06;
    static constexpr double talkerTimeout = 0.4;
    static constexpr std::string_view bonjourServiceType = "_hollerhopper._tcp";
    static constexpr std::string_view bonjourDomain = "local.";

    // Derived at build time.
    static constexpr double frameDuration = double(frameSampleCount) / sampleRate;
    static constexpr int primeThresholdSamples = int(jitterBufferSeconds * sampleRate + 0.5);
};

static_assert(WalkieConfig::framePayloadBytes == 640);
static_assert(WalkieConfig::primeThresholdSamples == 960);

} // namespace hh
