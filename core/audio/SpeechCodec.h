#pragma once

#include "core/wire/Uuid.h"
#include "core/wire/WalkieConfig.h"
#include "core/wire/WalkiePacket.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

struct OpusEncoder;
struct OpusDecoder;

namespace hh {

// Compressed speech: Opus at 16 kHz mono, one 20 ms frame per packet, each
// packet carrying a low-rate copy of the frame before it (in-band forward error
// correction), so a single lost packet is rebuilt from the next one.
struct SpeechCodecSettings {
    // 16 kbit/s: a packet with its headers (40 + 26 + 28 bytes) stays under a
    // seventh of an uncompressed one (694) on the wire, and speech keeps a
    // band-envelope correlation of 0.94 with the original (0.91 at 10 % loss),
    // within 0.01 of 24 kbit/s. The FEC copy is paid out of this rate.
    static constexpr int bitRate = 16000;
    // Complexity 1: transmitting PCM alone already takes about 2 % of a core
    // on a loaded two-core machine (the intercom benchmark), so the encoder
    // must add little: about 0.4 % here (bench_audio), against 0.8 % at 3 and
    // 3 % at 10, for 0.004 less correlation than 3 (0.935, 0.911 at 10 %
    // loss); below 1 speech loses clearly more.
    static constexpr int complexity = 1;
    // The loss the encoder plans its FEC copy for: Wi-Fi multicast's.
    static constexpr int expectedLossPercent = 10;
    // A hostile payload is at most a datagram; a real one is under 100 bytes.
    static constexpr std::size_t maximumPacketBytes = 1275;
};

// Encodes the frames of one spurt after another. Used from one thread at a time.
class SpeechEncoder {
public:
    // Throws std::runtime_error when libopus refuses the settings.
    SpeechEncoder();
    ~SpeechEncoder();
    SpeechEncoder(const SpeechEncoder&) = delete;
    SpeechEncoder& operator=(const SpeechEncoder&) = delete;

    // One frame of 640 bytes of 16-bit little-endian samples (shorter is
    // padded with silence, longer cut) in, one packet out; empty on failure.
    Bytes encode(std::span<const std::uint8_t> pcm16le);
    // A new spurt: nothing of the previous one is carried over.
    void reset();

private:
    struct Free {
        void operator()(OpusEncoder* encoder) const;
    };
    std::unique_ptr<OpusEncoder, Free> encoder_;
};

// A decoded 20 ms frame, ready for the playout queue.
struct DecodedFrame {
    enum class Source {
        received,   // its own packet
        recovered,  // from the next packet's FEC copy
        concealed,  // made up by the decoder, or its packet was not Opus
    };
    std::uint32_t frameIndex = 0;
    Source source = Source::received;
    Bytes pcm16le;  // always 640 bytes
};

// One talker's decoder. Packets come in arrival order and frames go out in
// index order: the frames missing before a packet come first, the one just
// before it from its FEC copy and older ones by the decoder's concealment,
// so the playout queue gets them before their turn. Packets at or before the
// last frame decoded (late, duplicate) are dropped: the queue has that frame.
class SpeechDecoder {
public:
    // Missing frames filled in before a packet; a longer gap is left to the
    // playout queue (the talker paused or the link was down).
    static constexpr std::uint32_t maximumFilledFrames = 5;

    SpeechDecoder();
    ~SpeechDecoder();
    SpeechDecoder(const SpeechDecoder&) = delete;
    SpeechDecoder& operator=(const SpeechDecoder&) = delete;

    std::vector<DecodedFrame> decode(std::uint32_t frameIndex, std::span<const std::uint8_t> packet);
    // A talk start: fresh state, and frame 0 is the first expected.
    void beginSpurt();

    // One frame in turn, for a caller that keeps the order itself and must not
    // allocate (the playout queue): `packet`'s own frame, the frame before it
    // from its FEC copy when `isFec`, or the decoder's concealment when the
    // packet is empty or not one 20 ms Opus frame. Fills `out` (one frame).
    DecodedFrame::Source decodeFrame(std::span<const std::uint8_t> packet, bool isFec,
                                     std::span<std::int16_t, std::size_t(WalkieConfig::frameSampleCount)> out);
    // The decoder's concealment for `out.size()` samples (a multiple of 2.5 ms,
    // at most a frame), as for audio lost; silence if it fails.
    void conceal(std::span<std::int16_t> out);
    // Forgets the previous spurt, without touching what decode() expects next.
    void resetState();

private:
    DecodedFrame decodeOne(std::uint32_t frameIndex, std::span<const std::uint8_t> packet, bool isFec);

    struct Free {
        void operator()(OpusDecoder* decoder) const;
    };
    std::unique_ptr<OpusDecoder, Free> decoder_;
    // The frame index expected next; none before the first packet.
    std::optional<std::uint32_t> next_;
};

// A decoder per talker, for as many talkers as the mixer plays; the one heard
// least recently makes room for a new talker.
class SpeechDecoders {
public:
    static constexpr std::size_t maximumTalkers = 8;

    std::vector<DecodedFrame> decode(const Uuid& talker, std::uint32_t frameIndex, std::span<const std::uint8_t> packet);
    void beginSpurt(const Uuid& talker);
    void endSpurt(const Uuid& talker);
    std::size_t size() const { return decoders_.size(); }

private:
    struct Entry {
        Uuid talker;
        std::unique_ptr<SpeechDecoder> decoder;
    };
    SpeechDecoder& find(const Uuid& talker);
    // Most recently heard last.
    std::vector<Entry> decoders_;
};

} // namespace hh
