#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace hh {

// The playback queue between the network and the audio output: a fixed ring of
// mono float samples. It plays nothing until `primeThreshold` samples are
// buffered, drops the oldest audio on overflow, and goes back to priming when it
// runs dry, so a late stream restarts with a cushion instead of stuttering.
//
// write() and reset() come from the main thread, read() from the real-time
// output thread. One short non-recursive lock is held for each whole operation;
// nothing allocates after construction.
class JitterBuffer {
public:
    static constexpr std::int64_t defaultCapacity = 32000;
    static constexpr std::int64_t defaultPrimeThreshold = 960;

    JitterBuffer() : JitterBuffer(defaultCapacity, defaultPrimeThreshold) {}
    JitterBuffer(std::int64_t capacity, std::int64_t primeThreshold);

    JitterBuffer(const JitterBuffer&) = delete;
    JitterBuffer& operator=(const JitterBuffer&) = delete;

    // Appends the samples; when full, each new sample replaces the oldest one.
    void write(std::span<const float> samples);
    // Fills all of `out` with buffered samples or silence. Returns whether at
    // least one buffered sample was delivered.
    bool read(std::span<float> out);
    // Empties the buffer and re-enters priming.
    void reset();

    // Buffered, not yet played samples.
    std::int64_t count() const;
    bool isPriming() const;

    std::int64_t capacity() const { return capacity_; }
    std::int64_t primeThreshold() const { return primeThreshold_; }

private:
    const std::int64_t capacity_;
    const std::int64_t primeThreshold_;
    mutable std::mutex mutex_;
    std::vector<float> storage_;
    std::int64_t readIndex_ = 0;
    std::int64_t writeIndex_ = 0;
    std::int64_t available_ = 0;
    bool isPriming_ = true;
};

} // namespace hh
