#pragma once

#include "core/wire/Uuid.h"
#include "core/wire/WalkieConfig.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace hh {

// How one talk spurt arrived: frames placed, frames made up in place of missing
// ones, and frames that came after their turn (dropped).
struct SpurtFigures {
    std::size_t received = 0;
    std::size_t concealed = 0;
    std::size_t late = 0;
    friend bool operator==(const SpurtFigures&, const SpurtFigures&) = default;
};

// What the mixer has learned of a talker's path, in milliseconds: the delay it
// aims at (its cushion against late frames), the delay it plays at now, and
// its figures over every spurt heard.
struct TalkerPlayout {
    double targetMs = 0;
    double cushionMs = 0;
    SpurtFigures total;
};

// Plays what several talkers send at the same time: one playout queue per
// talker, mixed into the output.
//
// Each queue places 20 ms frames by their frame index in a 2 s ring and plays
// them in index order, each at a cushion of delay after the earliest a frame
// of its spurt could have been due. The cushion is learned per talker from
// how frames arrive (arrival time against frame index): the highest spread of
// the last 4 s of arrivals, plus headroom for the output's pull (its largest
// recent size and 2.5 ms, at least 12.5 ms). It rises at
// once when a frame comes later than it covers, and falls as the slow
// arrivals leave the window. What was learned outlasts the spurt, so a
// talker's next spurt starts with it.
//
// The delay is moved without gaps: sound is played at most 5 % faster (a pitch
// period left out now and then; pauses as much faster as it takes) or slower
// (the last pitch period repeated, up to half a frame each frame); no whole
// frame is ever dropped or added for it. A frame missing at its turn while
// later ones are here is concealed (the last pitch period repeated, fading to
// silence), one arriving after its turn or twice is dropped; when nothing
// later is here, or the delay is still short of the cushion, the queue waits
// for it instead, playing the last pitch period on (fading the same way) and
// so adding delay, rather than giving the turn away or running dry. A frame index far outside the ring
// starts the talker afresh instead of waiting or allocating. After a second's
// pause in the output's pulls (its server gone), a talker mid-spurt goes on
// from the frame due now at their cushion; what came meanwhile is dropped.
//
// Compressed speech is queued as it came and decoded at its turn, in index
// order, so a frame that arrives after a later one loses nothing. A frame
// missing at its turn is rebuilt from the next one's FEC copy when that is
// here, else concealed as above while its decoder is told of the loss: the
// decoder hears of every frame and its state runs on unbroken.
//
// The mix is the plain sum, through a limiter that only acts above full scale:
// a single talker's samples come out unchanged unless their delay moves.
//
// At most `maximumTalkers` queues exist; a queue is freed when its spurt has
// ended and played out, or when it has held nothing for a second of output.
// Audio of a new talker while all queues are busy is dropped. What was learned
// is kept for the `rememberedTalkers` heard last.
//
// Writes come from the main thread, render() from the real-time output thread;
// one short lock covers each call, and nothing allocates after construction.
class PlayoutMixer {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t maximumTalkers = 8;
    static constexpr std::size_t rememberedTalkers = 16;
    static constexpr std::int64_t frameSamples = WalkieConfig::frameSampleCount;
    static constexpr std::int64_t queueFrames = 100;
    // Arrivals the cushion is learned from: 4 s of frames.
    static constexpr std::size_t windowFrames = 200;
    // Above the arrivals' spread at least: a 10 ms output pull and a little more.
    static constexpr std::int64_t headroomSamples = 200;
    // The cushion of a talker not heard before; it rises at once if it must.
    static constexpr std::int64_t firstTargetSamples = 2 * frameSamples;
    static constexpr std::int64_t idleSamples = std::int64_t(WalkieConfig::sampleRate);
    // Frames concealed at most for those lost at a spurt's very end.
    static constexpr std::int64_t maximumTailConcealment = 3;
    // Room for a compressed frame: a real packet is under 100 bytes.
    static constexpr std::size_t compressedBytes = 400;

    // `now` times arrivals and output (tests pass a clock of their own).
    explicit PlayoutMixer(std::function<Clock::time_point()> now = Clock::now);
    ~PlayoutMixer();
    PlayoutMixer(const PlayoutMixer&) = delete;
    PlayoutMixer& operator=(const PlayoutMixer&) = delete;

    // A talk start: the spurt's frame 0 follows whatever of the talker is still queued.
    void beginSpurt(const Uuid& talker);
    // Places one frame of 16-bit little-endian samples (shorter ones are padded
    // with silence, longer ones cut). Returns false when it was dropped because
    // every queue is busy with another talker.
    bool write(const Uuid& talker, std::uint32_t frameIndex, std::span<const std::uint8_t> pcm16le);
    // The same for one Opus packet (SpeechCodec), decoded when its turn comes;
    // one larger than `compressedBytes` is concealed at its turn.
    bool writeCompressed(const Uuid& talker, std::uint32_t frameIndex, std::span<const std::uint8_t> packet);
    // A talk end (with the number of frames sent) or a talker gone quiet
    // (nullopt): what is queued plays out, frames missing before the end are
    // concealed, then the queue is freed.
    void endSpurt(const Uuid& talker, std::optional<std::uint32_t> frameCount);
    // Drops every queue and everything learned.
    void reset();

    // Fills all of `out` with the mix, or silence. Returns whether any talker played.
    bool render(std::span<float> out);

    // Queues in use, and the figures of a talker's current spurt (for tests and diagnostics).
    std::size_t queueCount() const;
    std::optional<SpurtFigures> figures(const Uuid& talker) const;
    // What is known of a talker's path, while remembered.
    std::optional<TalkerPlayout> playout(const Uuid& talker) const;
    // Samples placed and not yet played, over all queues (gaps included).
    std::int64_t queuedSamples() const;

private:
    class Queue;
    struct Path;

    Queue* find(const Uuid& talker) const;
    Queue* acquire(const Uuid& talker);
    Path& pathOf(const Uuid& talker);
    bool place(const Uuid& talker, std::uint32_t frameIndex, std::span<const std::uint8_t> payload, bool isCompressed);
    std::int64_t nowSamples() const;

    std::function<Clock::time_point()> now_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Queue>> queues_;
    std::vector<std::unique_ptr<Path>> paths_;
    std::uint64_t pathUses_ = 0;
    // The output's position as time, in samples: when the next sample rendered is heard.
    std::int64_t outputClock_ = 0;
    std::int64_t lastPull_ = 0;  // when render() was last called
    bool hasOutputClock_ = false;
    std::array<std::int64_t, 16> pulls_{};  // the sizes of the last pulls
    std::size_t pullAt_ = 0;
    std::array<float, frameSamples> scratch_{};
    float limiterGain_ = 1.0f;
};

} // namespace hh
