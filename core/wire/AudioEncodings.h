#pragma once

#include "core/wire/WalkiePacket.h"

#include <cstdint>
#include <optional>
#include <string>

namespace hh {

// How the audio of a spurt travels.
enum class AudioEncoding : std::uint8_t {
    pcm = 0,   // type 0 packets, 640 bytes of 16-bit samples: every build decodes it
    opus = 1,  // type 4 packets, one Opus frame each
};

const char* toString(AudioEncoding encoding);

// What one instance says it decodes, in an encodings packet: a count, that many
// encoding numbers, then the sender's display name in UTF-8 (so the
// announcement alone tells which listed peer it comes from). Numbers this
// build does not know are skipped, so later builds may add encodings.
struct EncodingAnnouncement {
    bool decodesOpus = false;
    std::string name;

    Bytes encode() const;
    // Nothing for a payload shorter than its count says.
    static std::optional<EncodingAnnouncement> decode(const Bytes& payload);

    friend bool operator==(const EncodingAnnouncement&, const EncodingAnnouncement&) = default;
};

} // namespace hh
