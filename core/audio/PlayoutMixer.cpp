#include "core/audio/PlayoutMixer.h"

#include <algorithm>
#include <cmath>

namespace hh {

namespace {

constexpr std::int64_t historySamples = 2 * PlayoutMixer::frameSamples;
// Pitch periods searched for concealment: 50 to 500 Hz.
constexpr std::int64_t shortestPeriod = 32;
constexpr std::int64_t longestPeriod = PlayoutMixer::frameSamples;
constexpr std::int64_t matchWindow = historySamples - longestPeriod - PlayoutMixer::frameSamples / 2;
// Concealment holds full level for 10 ms, then fades to silence over 50 ms.
constexpr std::int64_t fadeHold = 160;
constexpr std::int64_t fadeLength = 800;
// Real audio after concealment is cross-faded in over 4 ms, so the seam does not click.
constexpr std::int64_t crossFade = 64;
// The limiter's gain comes back from zero to one in 100 ms.
constexpr float limiterRelease = 1.0f / 1600.0f;

float fadeAt(std::int64_t t) {
    if (t < fadeHold) return 1.0f;
    return std::max(0.0f, 1.0f - float(t - fadeHold) / float(fadeLength));
}

} // namespace

// One talker's frames by index, and where playback stands in them.
class PlayoutMixer::Queue {
public:
    Uuid talker;
    bool isInUse = false;

    Queue() : ring_(std::size_t(queueFrames * frameSamples)), slotIndex_(std::size_t(queueFrames), -1) {}

    void open(const Uuid& id) {
        talker = id;
        isInUse = true;
        std::fill(slotIndex_.begin(), slotIndex_.end(), -1);
        base_ = head_ = end_ = 0;
        offset_ = 0;
        last_.reset();
        hasBase_ = isSpurtStart_ = isEnded_ = false;
        isPriming_ = true;
        history_.fill(0.0f);
        concealedSamples_ = 0;
        period_ = 0;
        idle_ = 0;
        figures_ = {};
    }

    void beginSpurt() {
        base_ = contentEnd();
        hasBase_ = isSpurtStart_ = true;
        isEnded_ = false;
        last_.reset();
        figures_ = {};
    }

    void write(std::uint32_t frameIndex, std::span<const std::uint8_t> pcm16le) {
        idle_ = 0;
        auto at = base_ + std::int64_t(frameIndex);
        const bool isOfEndedSpurt = isEnded_ && last_ && at < *last_;
        if (!hasBase_ || (isEnded_ && !isOfEndedSpurt)) {
            // A spurt whose talk start we missed: it follows what is queued.
            base_ = contentEnd() - std::int64_t(frameIndex);
            hasBase_ = true;
            isSpurtStart_ = isEnded_ = false;
            last_.reset();
            figures_ = {};
            at = base_ + std::int64_t(frameIndex);
        } else if (at < head_ - queueFrames || at >= std::max(head_, end_) + queueFrames) {
            // Far outside the ring (a restarted counter, a hostile sender): this
            // frame follows what is queued rather than wait or fill the distance.
            base_ = contentEnd() - std::int64_t(frameIndex);
            at = base_ + std::int64_t(frameIndex);
        }
        if (at < head_ || (at == head_ && offset_ > 0)) {
            ++figures_.late;
            return;
        }
        if (at >= head_ + queueFrames) {
            // Over 2 s ahead of playback: the oldest audio makes room, as it always did.
            head_ = at - queueFrames + 1;
            offset_ = 0;
        }
        const auto slot = std::size_t(at % queueFrames);
        if (slotIndex_[slot] == at) return;  // a duplicate
        slotIndex_[slot] = at;
        float* dst = ring_.data() + slot * std::size_t(frameSamples);
        const auto n = std::min<std::size_t>(pcm16le.size() / 2, std::size_t(frameSamples));
        for (std::size_t i = 0; i < n; ++i) {
            const auto v = std::int16_t(std::uint16_t(pcm16le[2 * i]) | std::uint16_t(pcm16le[2 * i + 1]) << 8);
            dst[i] = std::clamp(float(v) * (1.0f / 32768.0f), -1.0f, 1.0f);
        }
        std::fill(dst + n, dst + frameSamples, 0.0f);
        end_ = std::max(end_, at + 1);
        ++figures_.received;
    }

    void end(std::optional<std::uint32_t> frameCount) {
        isEnded_ = true;
        // Frames lost at the very end are concealed, a bounded few.
        if (frameCount && hasBase_)
            last_ = std::clamp(base_ + std::int64_t(*frameCount), end_, end_ + maximumTailConcealment);
    }

    // Overwrites `out` with this talker's next samples; false if it played nothing.
    bool read(std::span<float> out) {
        const auto n = std::int64_t(out.size());
        if (isPriming_ && !startPlaying()) {
            std::fill(out.begin(), out.end(), 0.0f);
            idle_ += n;
            return false;
        }
        std::int64_t done = 0;
        while (done < n) {
            if (offset_ == 0 && !load()) {
                // Run dry: silence, and a new cushion before playing on.
                std::fill(out.begin() + done, out.end(), 0.0f);
                isPriming_ = true;
                idle_ += n - done;
                return done > 0;
            }
            const auto run = std::min(n - done, frameSamples - offset_);
            std::copy_n(current_.data() + offset_, run, out.data() + done);
            offset_ += run;
            done += run;
            if (offset_ == frameSamples) {
                ++head_;
                offset_ = 0;
            }
        }
        return true;
    }

    // Nothing more to play and nobody sending: the queue can go.
    bool isFinished() const { return isPriming_ && (isEnded_ || idle_ >= idleSamples); }
    bool isEnded() const { return isEnded_; }
    const SpurtFigures& figures() const { return figures_; }
    std::int64_t queuedSamples() const {
        return std::max<std::int64_t>(0, end_ - head_) * frameSamples - (head_ < end_ ? offset_ : 0);
    }

private:
    bool isPresent(std::int64_t index) const { return slotIndex_[std::size_t(index % queueFrames)] == index; }

    std::int64_t contentEnd() const {
        return std::max({end_, head_ + (offset_ > 0 ? 1 : 0), last_.value_or(0)});
    }

    // Leaves priming once 60 ms lie between the first frame present and the
    // newest, or at once when the spurt has ended.
    bool startPlaying() {
        std::int64_t first = head_;
        while (first < end_ && !isPresent(first)) ++first;
        if (first >= end_) return false;
        if (!isEnded_ && end_ - first < primeFrames) return false;
        // A spurt that announced its start keeps its first frames' place even
        // if they were lost; otherwise the gap before the first frame is skipped.
        head_ = isSpurtStart_ ? std::min(first, std::max(head_, base_)) : first;
        isSpurtStart_ = false;
        isPriming_ = false;
        offset_ = 0;
        return true;
    }

    // Puts frame `head_` in `current_`: received, concealed, or none (run dry).
    bool load() {
        if (isPresent(head_)) {
            const float* src = ring_.data() + std::size_t(head_ % queueFrames) * std::size_t(frameSamples);
            std::copy_n(src, frameSamples, current_.data());
            if (concealedSamples_ > 0) {
                for (std::int64_t i = 0; i < crossFade; ++i) {
                    const float w = float(i + 1) / float(crossFade + 1);
                    current_[std::size_t(i)] = current_[std::size_t(i)] * w + concealedSample(concealedSamples_ + i) * (1 - w);
                }
                concealedSamples_ = 0;
            }
            std::copy(history_.begin() + frameSamples, history_.end(), history_.begin());
            std::copy_n(current_.begin(), frameSamples, history_.begin() + frameSamples);
            return true;
        }
        const bool isMissing = head_ < end_ || (last_ && head_ < *last_) ||
                               (!isEnded_ && head_ < end_ + maximumTailConcealment);
        if (!isMissing) return false;
        if (concealedSamples_ == 0) period_ = findPeriod();
        for (std::int64_t i = 0; i < frameSamples; ++i) current_[std::size_t(i)] = concealedSample(concealedSamples_ + i);
        concealedSamples_ += frameSamples;
        ++figures_.concealed;
        return true;
    }

    // The last pitch period heard, repeated, faded by time `t` into the concealment.
    float concealedSample(std::int64_t t) const {
        if (period_ == 0) return 0.0f;
        return history_[std::size_t(historySamples - period_ + t % period_)] * fadeAt(t);
    }

    // The lag that best matches the last samples with those one lag earlier; 0 for silence.
    std::int64_t findPeriod() const {
        const std::int64_t tail = historySamples - matchWindow;
        double best = 0;
        std::int64_t bestLag = 0;
        for (std::int64_t lag = shortestPeriod; lag <= longestPeriod; ++lag) {
            double corr = 0, energy = 0;
            for (std::int64_t i = 0; i < matchWindow; ++i) {
                const double a = history_[std::size_t(tail + i)], b = history_[std::size_t(tail - lag + i)];
                corr += a * b;
                energy += b * b;
            }
            if (energy <= 1e-9 || corr <= 0) continue;
            const double score = corr / std::sqrt(energy);
            if (score > best) {
                best = score;
                bestLag = lag;
            }
        }
        return bestLag;
    }

    std::vector<float> ring_;
    std::vector<std::int64_t> slotIndex_;  // the frame each slot holds, -1 for none
    std::int64_t base_ = 0;                // added to a frame index to place it
    std::int64_t head_ = 0;                // the frame playing, or next to play
    std::int64_t offset_ = 0;              // samples of `head_` played
    std::int64_t end_ = 0;                 // one past the newest frame placed
    std::optional<std::int64_t> last_;     // one past the spurt's last frame, once it ended
    bool hasBase_ = false;
    bool isSpurtStart_ = false;
    bool isEnded_ = false;
    bool isPriming_ = true;
    std::array<float, frameSamples> current_{};
    std::array<float, historySamples> history_{};  // the last two frames received and played
    std::int64_t concealedSamples_ = 0;            // into the current run of concealment
    std::int64_t period_ = 0;
    std::int64_t idle_ = 0;
    SpurtFigures figures_;
};

PlayoutMixer::PlayoutMixer() {
    for (std::size_t i = 0; i < maximumTalkers; ++i) queues_.push_back(std::make_unique<Queue>());
}

PlayoutMixer::~PlayoutMixer() = default;

PlayoutMixer::Queue* PlayoutMixer::find(const Uuid& talker) const {
    for (const auto& q : queues_)
        if (q->isInUse && q->talker == talker) return q.get();
    return nullptr;
}

PlayoutMixer::Queue* PlayoutMixer::acquire(const Uuid& talker) {
    if (auto* q = find(talker)) return q;
    auto it = std::find_if(queues_.begin(), queues_.end(), [](const auto& q) { return !q->isInUse; });
    // All busy: a talker who has finished gives way, one still talking does not.
    if (it == queues_.end()) it = std::find_if(queues_.begin(), queues_.end(), [](const auto& q) { return q->isEnded(); });
    if (it == queues_.end()) return nullptr;
    (*it)->open(talker);
    return it->get();
}

void PlayoutMixer::beginSpurt(const Uuid& talker) {
    std::lock_guard lock(mutex_);
    if (auto* q = acquire(talker)) q->beginSpurt();
}

bool PlayoutMixer::write(const Uuid& talker, std::uint32_t frameIndex, std::span<const std::uint8_t> pcm16le) {
    std::lock_guard lock(mutex_);
    auto* q = acquire(talker);
    if (!q) return false;
    q->write(frameIndex, pcm16le);
    return true;
}

void PlayoutMixer::endSpurt(const Uuid& talker, std::optional<std::uint32_t> frameCount) {
    std::lock_guard lock(mutex_);
    if (auto* q = find(talker)) q->end(frameCount);
}

void PlayoutMixer::reset() {
    std::lock_guard lock(mutex_);
    for (auto& q : queues_) q->isInUse = false;
    limiterGain_ = 1.0f;
}

bool PlayoutMixer::render(std::span<float> out) {
    std::lock_guard lock(mutex_);
    bool isPlaying = false;
    for (std::size_t done = 0; done < out.size(); done += std::size_t(frameSamples)) {
        const auto chunk = out.subspan(done, std::min(out.size() - done, std::size_t(frameSamples)));
        const auto part = std::span(scratch_).first(chunk.size());
        std::fill(chunk.begin(), chunk.end(), 0.0f);
        for (auto& q : queues_) {
            if (!q->isInUse) continue;
            if (q->read(part)) {
                isPlaying = true;
                for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] += part[i];
            } else if (q->isFinished()) {
                q->isInUse = false;
            }
        }
        // Gain drops at once to keep a peak at full scale and recovers slowly;
        // at or below full scale with the gain at one, samples pass unchanged.
        for (auto& x : chunk) {
            const float magnitude = std::fabs(x);
            if (magnitude * limiterGain_ > 1.0f) limiterGain_ = 1.0f / magnitude;
            x *= limiterGain_;
            limiterGain_ = std::min(1.0f, limiterGain_ + limiterRelease);
        }
    }
    return isPlaying;
}

std::size_t PlayoutMixer::queueCount() const {
    std::lock_guard lock(mutex_);
    return std::size_t(std::count_if(queues_.begin(), queues_.end(), [](const auto& q) { return q->isInUse; }));
}

std::optional<SpurtFigures> PlayoutMixer::figures(const Uuid& talker) const {
    std::lock_guard lock(mutex_);
    if (auto* q = find(talker)) return q->figures();
    return std::nullopt;
}

std::int64_t PlayoutMixer::queuedSamples() const {
    std::lock_guard lock(mutex_);
    std::int64_t total = 0;
    for (const auto& q : queues_)
        if (q->isInUse) total += q->queuedSamples();
    return total;
}

} // namespace hh
