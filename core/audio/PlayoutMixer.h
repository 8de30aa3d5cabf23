#pragma once

#include "core/wire/Uuid.h"
#include "core/wire/WalkieConfig.h"

#include <array>
#include <cstdint>
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

// Plays what several talkers send at the same time: one playout queue per
// talker, mixed into the output.
//
// Each queue places 20 ms frames by their frame index in a 2 s ring, waits for
// 60 ms before playing (again after running dry), and plays in index order: a
// frame missing at its turn is concealed (the last pitch period repeated,
// fading to silence), one arriving after its turn or twice is dropped. When
// nothing at all has arrived beyond the frame due, a few frames are concealed
// before the queue counts as run dry, so a lost packet at the edge of the
// buffer costs no gap and no delay. A frame index far outside the ring starts
// the talker afresh instead of waiting or allocating.
//
// The mix is the plain sum, through a limiter that only acts above full scale:
// a single talker's samples come out unchanged.
//
// At most `maximumTalkers` queues exist; a queue is freed when its spurt has
// ended and played out, or when it has held nothing for a second of output.
// Audio of a new talker while all queues are busy is dropped.
//
// Writes come from the main thread, render() from the real-time output thread;
// one short lock covers each call, and nothing allocates after construction.
class PlayoutMixer {
public:
    static constexpr std::size_t maximumTalkers = 8;
    static constexpr std::int64_t frameSamples = WalkieConfig::frameSampleCount;
    static constexpr std::int64_t queueFrames = 100;
    static constexpr std::int64_t primeFrames = WalkieConfig::primeThresholdSamples / frameSamples;
    // Frames concealed past the newest one received before the queue counts as dry.
    static constexpr std::int64_t maximumTailConcealment = 3;
    static constexpr std::int64_t idleSamples = std::int64_t(WalkieConfig::sampleRate);

    PlayoutMixer();
    ~PlayoutMixer();
    PlayoutMixer(const PlayoutMixer&) = delete;
    PlayoutMixer& operator=(const PlayoutMixer&) = delete;

    // A talk start: the spurt's frame 0 follows whatever of the talker is still queued.
    void beginSpurt(const Uuid& talker);
    // Places one frame of 16-bit little-endian samples (shorter ones are padded
    // with silence, longer ones cut). Returns false when it was dropped because
    // every queue is busy with another talker.
    bool write(const Uuid& talker, std::uint32_t frameIndex, std::span<const std::uint8_t> pcm16le);
    // A talk end (with the number of frames sent) or a talker gone quiet
    // (nullopt): what is queued plays out, frames missing before the end are
    // concealed, then the queue is freed.
    void endSpurt(const Uuid& talker, std::optional<std::uint32_t> frameCount);
    // Drops every queue.
    void reset();

    // Fills all of `out` with the mix, or silence. Returns whether any talker played.
    bool render(std::span<float> out);

    // Queues in use, and the figures of a talker's current spurt (for tests and diagnostics).
    std::size_t queueCount() const;
    std::optional<SpurtFigures> figures(const Uuid& talker) const;
    // Samples placed and not yet played, over all queues (gaps included).
    std::int64_t queuedSamples() const;

private:
    class Queue;

    Queue* find(const Uuid& talker) const;
    Queue* acquire(const Uuid& talker);

    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Queue>> queues_;
    std::array<float, frameSamples> scratch_{};
    float limiterGain_ = 1.0f;
};

} // namespace hh
