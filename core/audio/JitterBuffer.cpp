#include "core/audio/JitterBuffer.h"

#include <algorithm>
#include <cassert>

namespace hh {

JitterBuffer::JitterBuffer(std::int64_t capacity, std::int64_t primeThreshold)
    : capacity_(capacity), primeThreshold_(primeThreshold), storage_(std::size_t(capacity), 0.0f) {
    assert(capacity > 0 && primeThreshold >= 0 && primeThreshold <= capacity);
}

void JitterBuffer::write(std::span<const float> samples) {
    std::lock_guard lock(mutex_);
    auto n = std::int64_t(samples.size());
    if (n == 0) return;
    // Of a write longer than the ring only its newest `capacity` samples
    // survive: the ring ends up full, ending where the whole write would end.
    if (n > capacity_) {
        const auto skipped = n - capacity_;
        writeIndex_ = (writeIndex_ + skipped) % capacity_;
        readIndex_ = (readIndex_ + std::max<std::int64_t>(0, available_ + skipped - capacity_)) % capacity_;
        available_ = std::min(available_ + skipped, capacity_);
        samples = samples.subspan(std::size_t(n - capacity_));
        n = capacity_;
    }
    // Copied in at most two runs (before and after the wrap); same result as
    // storing sample by sample.
    std::int64_t done = 0;
    while (done < n) {
        const auto run = std::min(n - done, capacity_ - writeIndex_);
        std::copy_n(samples.data() + done, run, storage_.data() + writeIndex_);
        writeIndex_ = (writeIndex_ + run) % capacity_;
        done += run;
    }
    const auto overflow = std::max<std::int64_t>(0, available_ + n - capacity_);
    available_ = std::min(available_ + n, capacity_);
    readIndex_ = (readIndex_ + overflow) % capacity_;
}

bool JitterBuffer::read(std::span<float> out) {
    std::lock_guard lock(mutex_);
    const auto count = std::int64_t(out.size());
    if (isPriming_) {
        if (available_ < primeThreshold_) {
            std::fill(out.begin(), out.end(), 0.0f);
            return false;
        }
        isPriming_ = false;
    }
    const auto delivered = std::min(count, available_);
    std::int64_t done = 0;
    while (done < delivered) {
        const auto run = std::min(delivered - done, capacity_ - readIndex_);
        std::copy_n(storage_.data() + readIndex_, run, out.data() + done);
        readIndex_ = (readIndex_ + run) % capacity_;
        done += run;
    }
    available_ -= delivered;
    if (delivered < count) {
        // Underrun: pad with silence and build a new cushion before playing on.
        std::fill(out.begin() + delivered, out.end(), 0.0f);
        isPriming_ = true;
    }
    return delivered > 0;
}

void JitterBuffer::reset() {
    std::lock_guard lock(mutex_);
    readIndex_ = 0;
    writeIndex_ = 0;
    available_ = 0;
    isPriming_ = true;
}

std::int64_t JitterBuffer::count() const {
    std::lock_guard lock(mutex_);
    return available_;
}

bool JitterBuffer::isPriming() const {
    std::lock_guard lock(mutex_);
    return isPriming_;
}

} // namespace hh
