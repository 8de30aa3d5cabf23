#include "core/audio/SpeechCodec.h"

#include <opus/opus.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace hh {

namespace {

constexpr int sampleRate = int(WalkieConfig::sampleRate);
constexpr int frameSamples = int(WalkieConfig::frameSampleCount);
using Samples = std::array<opus_int16, std::size_t(WalkieConfig::frameSampleCount)>;

void check(int result, const char* what) {
    if (result != OPUS_OK) throw std::runtime_error(std::string(what) + ": " + opus_strerror(result));
}

Bytes toBytes(const Samples& samples) {
    Bytes out(samples.size() * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto v = std::uint16_t(samples[i]);
        out[2 * i] = std::uint8_t(v & 0xFF);
        out[2 * i + 1] = std::uint8_t(v >> 8);
    }
    return out;
}

} // namespace

void SpeechEncoder::Free::operator()(OpusEncoder* encoder) const { opus_encoder_destroy(encoder); }
void SpeechDecoder::Free::operator()(OpusDecoder* decoder) const { opus_decoder_destroy(decoder); }

SpeechEncoder::SpeechEncoder() {
    int error = OPUS_OK;
    encoder_.reset(opus_encoder_create(sampleRate, 1, OPUS_APPLICATION_VOIP, &error));
    check(error, "cannot create the speech encoder");
    auto* e = encoder_.get();
    check(opus_encoder_ctl(e, OPUS_SET_BITRATE(SpeechCodecSettings::bitRate)), "bit rate");
    // A constant rate: every packet is the same size, so the wire budget holds
    // whatever is said (a variable rate went over it on tones).
    check(opus_encoder_ctl(e, OPUS_SET_VBR(0)), "constant rate");
    check(opus_encoder_ctl(e, OPUS_SET_COMPLEXITY(SpeechCodecSettings::complexity)), "complexity");
    check(opus_encoder_ctl(e, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE)), "signal");
    check(opus_encoder_ctl(e, OPUS_SET_INBAND_FEC(1)), "forward error correction");
    check(opus_encoder_ctl(e, OPUS_SET_PACKET_LOSS_PERC(SpeechCodecSettings::expectedLossPercent)), "expected loss");
    // Every frame goes out: the playout queue reads a missing one as a loss.
    check(opus_encoder_ctl(e, OPUS_SET_DTX(0)), "discontinuous transmission");
}

SpeechEncoder::~SpeechEncoder() = default;

Bytes SpeechEncoder::encode(std::span<const std::uint8_t> pcm16le) {
    Samples samples{};
    const std::size_t n = std::min(samples.size(), pcm16le.size() / 2);
    for (std::size_t i = 0; i < n; ++i) samples[i] = opus_int16(std::uint16_t(pcm16le[2 * i] | pcm16le[2 * i + 1] << 8));
    // Room for the largest packet libopus makes at this rate, with its FEC copy.
    std::array<unsigned char, 400> packet{};
    const int size = opus_encode(encoder_.get(), samples.data(), frameSamples, packet.data(), int(packet.size()));
    if (size <= 0) return {};
    return Bytes(packet.begin(), packet.begin() + size);
}

void SpeechEncoder::reset() { opus_encoder_ctl(encoder_.get(), OPUS_RESET_STATE); }

SpeechDecoder::SpeechDecoder() {
    int error = OPUS_OK;
    decoder_.reset(opus_decoder_create(sampleRate, 1, &error));
    check(error, "cannot create the speech decoder");
}

SpeechDecoder::~SpeechDecoder() = default;

void SpeechDecoder::beginSpurt() {
    resetState();
    next_ = 0;
}

void SpeechDecoder::conceal(std::span<std::int16_t> out) {
    if (opus_decode(decoder_.get(), nullptr, 0, out.data(), int(out.size()), 0) != int(out.size()))
        std::fill(out.begin(), out.end(), std::int16_t(0));
}

void SpeechDecoder::resetState() { opus_decoder_ctl(decoder_.get(), OPUS_RESET_STATE); }

DecodedFrame::Source SpeechDecoder::decodeFrame(std::span<const std::uint8_t> packet, bool isFec,
                                                std::span<std::int16_t, std::size_t(WalkieConfig::frameSampleCount)> out) {
    auto source = packet.empty() ? DecodedFrame::Source::concealed
                  : isFec        ? DecodedFrame::Source::recovered
                                 : DecodedFrame::Source::received;
    int decoded = -1;
    const bool isUsable = !packet.empty() && packet.size() <= SpeechCodecSettings::maximumPacketBytes &&
                          opus_packet_get_nb_samples(packet.data(), opus_int32(packet.size()), sampleRate) == frameSamples;
    if (isUsable)
        decoded = opus_decode(decoder_.get(), packet.data(), opus_int32(packet.size()), out.data(), frameSamples, isFec ? 1 : 0);
    if (decoded != frameSamples) {
        source = DecodedFrame::Source::concealed;
        decoded = opus_decode(decoder_.get(), nullptr, 0, out.data(), frameSamples, 0);
        if (decoded != frameSamples) std::fill(out.begin(), out.end(), std::int16_t(0));
    }
    return source;
}

// One frame from `packet` (its FEC copy of the frame before when `isFec`), or
// concealment when the packet is empty or is not one 20 ms Opus frame.
DecodedFrame SpeechDecoder::decodeOne(std::uint32_t frameIndex, std::span<const std::uint8_t> packet, bool isFec) {
    Samples samples{};
    const auto source = decodeFrame(packet, isFec, samples);
    return {frameIndex, source, toBytes(samples)};
}

std::vector<DecodedFrame> SpeechDecoder::decode(std::uint32_t frameIndex, std::span<const std::uint8_t> packet) {
    std::vector<DecodedFrame> out;
    if (next_) {
        const std::uint32_t ahead = frameIndex - *next_;  // wraps like the index
        if (ahead >= 0x80000000u) return out;             // late or repeated: its turn is taken
        if (ahead > 0 && ahead <= maximumFilledFrames) {
            for (std::uint32_t i = 0; i + 1 < ahead; ++i) out.push_back(decodeOne(*next_ + i, {}, false));
            out.push_back(decodeOne(frameIndex - 1, packet, true));
        }
    }
    out.push_back(decodeOne(frameIndex, packet, false));
    next_ = frameIndex + 1;
    return out;
}

SpeechDecoder& SpeechDecoders::find(const Uuid& talker) {
    auto found = std::find_if(decoders_.begin(), decoders_.end(), [&](const Entry& e) { return e.talker == talker; });
    if (found != decoders_.end()) {
        std::rotate(found, found + 1, decoders_.end());  // most recently heard last
        return *decoders_.back().decoder;
    }
    if (decoders_.size() >= maximumTalkers) decoders_.erase(decoders_.begin());
    decoders_.push_back({talker, std::make_unique<SpeechDecoder>()});
    return *decoders_.back().decoder;
}

std::vector<DecodedFrame> SpeechDecoders::decode(const Uuid& talker, std::uint32_t frameIndex,
                                                 std::span<const std::uint8_t> packet) {
    return find(talker).decode(frameIndex, packet);
}

void SpeechDecoders::beginSpurt(const Uuid& talker) {
    auto found = std::find_if(decoders_.begin(), decoders_.end(), [&](const Entry& e) { return e.talker == talker; });
    if (found != decoders_.end()) found->decoder->beginSpurt();
}

void SpeechDecoders::endSpurt(const Uuid& talker) {
    std::erase_if(decoders_, [&](const Entry& e) { return e.talker == talker; });
}

} // namespace hh
