#include "core/audio/PlayoutMixer.h"

#include "core/audio/SpeechCodec.h"

#include <algorithm>
#include <cmath>

namespace hh {

namespace {

constexpr std::int64_t F = PlayoutMixer::frameSamples;
constexpr std::int64_t historySamples = 2 * F;
// Pitch periods searched for concealment: 50 to 500 Hz.
constexpr std::int64_t shortestPeriod = 32;
constexpr std::int64_t longestPeriod = F;
constexpr std::int64_t matchWindow = historySamples - longestPeriod - F / 2;
// Concealment holds full level for 10 ms, then fades to silence over 50 ms.
constexpr std::int64_t fadeHold = 160;
constexpr std::int64_t fadeLength = 800;
// Real audio after concealment is cross-faded in over 4 ms, so the seam does not click.
constexpr std::int64_t crossFade = 64;
// The delay is left alone while within this band around the cushion aimed at.
constexpr std::int64_t compressAbove = 160;
constexpr std::int64_t stretchBelow = 80;
// At most this much of a frame is left out to play faster (a period of 100 Hz
// or more, or a piece of a pause), matched over the rest of the frame; or
// added to play slower (unless one pitch period is longer).
constexpr std::int64_t longestCut = F / 2;
// Sound is played at most 5 % faster (pitch periods left out when enough
// time has been saved up); pauses as much faster as it takes.
constexpr std::int64_t cutPerFrame = F / 20;
constexpr std::int64_t mostSavedUp = 2 * longestCut;
// Frames quieter than this (-50 dBFS) are a pause: cut or stretched anywhere.
constexpr float pauseLevel = 0.00316f;
// Periods that repeat at least this well are cut or repeated.
constexpr double goodMatch = 0.85;
// The output's clock is the samples it pulled, following the wall clock
// slowly (a loaded sound server pulls late, then catches up); after a pause
// this long in its pulls (an output closed or reopened) it starts afresh.
constexpr std::int64_t clockFollow = 256;
constexpr std::int64_t outputPause = 10 * F;
// A pause this long is the output gone (its server restarted), not a stall:
// talkers mid-spurt go on from what is due now.
constexpr std::int64_t outputAway = 50 * F;
// The limiter's gain comes back from zero to one in 100 ms.
constexpr float limiterRelease = 1.0f / 1600.0f;

// Above the arrivals' spread: the output's largest recent pull and a little
// more, within reason.
std::int64_t headroomFor(std::int64_t pull) {
    return std::clamp<std::int64_t>(pull + F / 8, PlayoutMixer::headroomSamples, 2 * F);
}

float fadeAt(std::int64_t t) {
    if (t < fadeHold) return 1.0f;
    return std::max(0.0f, 1.0f - float(t - fadeHold) / float(fadeLength));
}

bool isPause(std::span<const float> x) {
    double energy = 0;
    for (float v : x) energy += double(v) * v;
    return energy <= double(pauseLevel) * pauseLevel * double(x.size());
}

// How alike x[0..n) and x[lag..lag+n) are, -1 to 1.
double match(const float* x, std::int64_t n, std::int64_t lag) {
    double ab = 0, aa = 0, bb = 0;
    for (std::int64_t i = 0; i < n; ++i) {
        const double a = x[i], b = x[i + lag];
        ab += a * b;
        aa += a * a;
        bb += b * b;
    }
    return aa > 1e-12 && bb > 1e-12 ? ab / std::sqrt(aa * bb) : 0.0;
}

} // namespace

// What is learned of one talker's path: the spread of its frames' arrival
// times over the last `windowFrames`, and the cushion that covers it.
struct PlayoutMixer::Path {
    Uuid talker;
    bool isKnown = false;
    bool isInUse = false;  // a queue plays this talker
    std::uint64_t lastUse = 0;
    std::array<std::int64_t, windowFrames> spreads{};
    std::size_t count = 0;
    std::size_t next = 0;
    std::int64_t highest = 0;  // of the spreads in the window
    std::int64_t cushion = 0;
    SpurtFigures total;

    void open(const Uuid& id) {
        talker = id;
        isKnown = true;
        count = next = 0;
        highest = 0;
        cushion = 0;
        total = {};
    }

    // One arrival, `spread` samples after the earliest it could have come.
    void learn(std::int64_t spread) {
        spreads[next] = spread;
        next = (next + 1) % windowFrames;
        count = std::min(count + 1, windowFrames);
        highest = *std::max_element(spreads.begin(), spreads.begin() + std::ptrdiff_t(count));
    }

    // The cushion aimed at, with `headroom` for the output's pull: until a
    // second has been heard, no less than a new talker's.
    std::int64_t target(std::int64_t headroom) const {
        const auto covered = highest + headroom;
        return count < windowFrames / 4 ? std::max(covered, firstTargetSamples) : covered;
    }
};

// One talker's frames by index, and where playback stands in them.
class PlayoutMixer::Queue {
public:
    Uuid talker;
    bool isInUse = false;

    Queue()
        : ring_(std::size_t(queueFrames * F)), slotIndex_(std::size_t(queueFrames), -1),
          packets_(std::size_t(queueFrames) * compressedBytes), packetSizes_(std::size_t(queueFrames), -1),
          slotSpurt_(std::size_t(queueFrames), 0) {}

    void open(const Uuid& id, Path& path) {
        talker = id;
        isInUse = true;
        path_ = &path;
        path.isInUse = true;
        std::fill(slotIndex_.begin(), slotIndex_.end(), -1);
        base_ = head_ = end_ = spurtStart_ = 0;
        position_ = length_ = 0;
        last_.reset();
        earliest_.reset();
        hasBase_ = isSpurtStart_ = isEnded_ = false;
        isPriming_ = true;
        history_.fill(0.0f);
        concealedSamples_ = savedUp_ = 0;
        period_ = 0;
        idle_ = 0;
        figures_ = {};
        isCompressed_ = false;
        decoderSpurt_.reset();
    }

    void close() {
        isInUse = false;
        if (path_) path_->isInUse = false;
        path_ = nullptr;
    }

    void beginSpurt() {
        base_ = contentEnd();
        startSpurt();
        isSpurtStart_ = true;
    }

    void write(std::uint32_t frameIndex, std::span<const std::uint8_t> payload, bool isCompressed, std::int64_t now) {
        idle_ = 0;
        auto at = base_ + std::int64_t(frameIndex);
        const bool isOfEndedSpurt = isEnded_ && last_ && at < *last_;
        if (!hasBase_ || (isEnded_ && !isOfEndedSpurt)) {
            // A spurt whose talk start we missed: it follows what is queued.
            base_ = contentEnd() - std::int64_t(frameIndex);
            startSpurt();
            at = base_ + std::int64_t(frameIndex);
        } else if (at < head_ - queueFrames || at >= std::max(head_, end_) + queueFrames) {
            // Far outside the ring (a restarted counter, a hostile sender): this
            // frame follows what is queued rather than wait or fill the distance,
            // timed afresh.
            base_ = spurtStart_ = contentEnd() - std::int64_t(frameIndex);
            earliest_.reset();
            at = base_ + std::int64_t(frameIndex);
        }
        const auto slot = std::size_t(at % queueFrames);
        if (at >= head_ && slotIndex_[slot] == at) return;  // a duplicate
        if (at >= spurtStart_) learnArrival(at, now);
        if (at < head_) {
            ++figures_.late;
            ++path_->total.late;
            return;
        }
        if (at >= head_ + queueFrames) {
            // Over 2 s ahead of playback: the oldest audio makes room, as it always did.
            head_ = at - queueFrames + 1;
        }
        slotIndex_[slot] = at;
        slotSpurt_[slot] = spurtStart_;
        if (isCompressed) {
            // Kept as it came, decoded at its turn; one too large to keep is concealed then.
            const auto size = payload.size() <= compressedBytes ? payload.size() : 0;
            std::copy_n(payload.data(), size, packets_.data() + slot * compressedBytes);
            packetSizes_[slot] = std::int32_t(size);
        } else {
            packetSizes_[slot] = -1;
            float* dst = ring_.data() + slot * std::size_t(F);
            const auto n = std::min<std::size_t>(payload.size() / 2, std::size_t(F));
            for (std::size_t i = 0; i < n; ++i) {
                const auto v = std::int16_t(std::uint16_t(payload[2 * i]) | std::uint16_t(payload[2 * i + 1]) << 8);
                dst[i] = std::clamp(float(v) * (1.0f / 32768.0f), -1.0f, 1.0f);
            }
            std::fill(dst + n, dst + F, 0.0f);
        }
        end_ = std::max(end_, at + 1);
        ++figures_.received;
        ++path_->total.received;
    }

    void end(std::optional<std::uint32_t> frameCount) {
        isEnded_ = true;
        // Frames lost at the very end are concealed, a bounded few.
        if (frameCount && hasBase_)
            last_ = std::clamp(base_ + std::int64_t(*frameCount), end_, end_ + maximumTailConcealment);
    }

    // Overwrites `out` with this talker's next samples, the first of which is
    // heard at `now`, with `headroom` above the arrivals' spread for the
    // output's pulls; false if it played nothing.
    bool read(std::span<float> out, std::int64_t now, std::int64_t headroom) {
        headroom_ = headroom;
        const auto n = std::int64_t(out.size());
        std::int64_t done = 0;
        if (isPriming_) {
            const auto lead = startPlaying(now, n);
            if (!lead) {
                std::fill(out.begin(), out.end(), 0.0f);
                idle_ += n;
                return false;
            }
            done = *lead;
            std::fill_n(out.begin(), done, 0.0f);
        }
        while (done < n) {
            if (position_ == length_ && !load(now + done)) {
                // The spurt has played out.
                std::fill(out.begin() + done, out.end(), 0.0f);
                isPriming_ = true;
                idle_ += n - done;
                return done > 0;
            }
            const auto run = std::min(n - done, length_ - position_);
            std::copy_n(current_.data() + position_, run, out.data() + done);
            position_ += run;
            done += run;
        }
        return true;
    }

    // The output was away (its server gone) while frames came: what
    // would now play later than the cushion aimed at is dropped, so the talker
    // is heard again at once at their usual delay, not seconds behind.
    void catchUp(std::int64_t now, std::int64_t headroom) {
        if (isPriming_ || !earliest_) return;
        const auto due = (now - *earliest_ - path_->target(headroom)) / F;
        if (due <= head_) return;
        head_ = std::min(due, end_);
        isPriming_ = true;
    }

    // Nothing more to play and nobody sending: the queue can go.
    bool isFinished() const { return isPriming_ && (isEnded_ || idle_ >= idleSamples); }
    bool isEnded() const { return isEnded_; }
    const SpurtFigures& figures() const { return figures_; }
    std::int64_t queuedSamples() const {
        return std::max<std::int64_t>(0, end_ - head_) * F + (length_ - position_);
    }

private:
    bool isPresent(std::int64_t index) const { return slotIndex_[std::size_t(index % queueFrames)] == index; }

    std::int64_t contentEnd() const { return std::max({end_, head_, last_.value_or(0)}); }

    void startSpurt() {
        hasBase_ = true;
        isSpurtStart_ = isEnded_ = false;
        last_.reset();
        earliest_.reset();
        spurtStart_ = base_;
        figures_ = {};
    }

    // Arrival time against frame index: the earliest a frame of this spurt
    // could have come, and how much later this one did.
    void learnArrival(std::int64_t at, std::int64_t now) {
        const auto relative = now - at * F;
        if (!earliest_ || relative < *earliest_) earliest_ = relative;
        path_->learn(relative - *earliest_);
    }

    // How much later than the earliest it could have arrived frame `index` is
    // heard when it starts at `now`; nothing while the previous spurt plays.
    std::optional<std::int64_t> cushionAt(std::int64_t index, std::int64_t now) const {
        if (!earliest_ || index < spurtStart_) return std::nullopt;
        return now - (*earliest_ + index * F);
    }

    // Leaves priming when the first frame present is due (a cushion after the
    // earliest it could have come), or at once when the spurt has ended; the
    // samples of silence before it in this read.
    std::optional<std::int64_t> startPlaying(std::int64_t now, std::int64_t n) {
        std::int64_t first = head_;
        while (first < end_ && !isPresent(first)) ++first;
        if (first >= end_) return std::nullopt;
        // A spurt that announced its start keeps its first frames' place even
        // if they were lost; otherwise the gap before the first frame is skipped.
        const auto start = isSpurtStart_ ? std::min(first, std::max(head_, base_)) : first;
        std::int64_t lead = 0;
        if (!isEnded_) {
            const auto cushion = cushionAt(start, now);
            if (cushion) {
                const auto wait = path_->target(headroom_) - *cushion;
                if (wait >= n) return std::nullopt;
                lead = std::max<std::int64_t>(0, wait);
            }
        }
        head_ = start;
        isSpurtStart_ = false;
        isPriming_ = false;
        position_ = length_ = 0;
        concealedSamples_ = 0;
        return lead;
    }

    // Puts what comes next in `current_`: frame `head_` (played faster or
    // slower to move the delay towards the cushion aimed at), its
    // concealment, a pitch period more while waiting for it, or nothing when
    // the spurt has played out. `now` is when it starts to be heard.
    bool load(std::int64_t now) {
        position_ = 0;
        if (isPresent(head_)) {
            if (isCompressedAt(head_)) {
                decode(head_, false);
            } else {
                const float* src = ring_.data() + std::size_t(head_ % queueFrames) * std::size_t(F);
                std::copy_n(src, F, current_.data());
                isCompressed_ = false;
            }
            settle();
            if (const auto cushion = cushionAt(head_, now)) {
                path_->cushion = *cushion;
                const auto error = *cushion - path_->target(headroom_);
                if (error > compressAbove) compress(error);
                else if (error < -stretchBelow) stretch(-error);
            }
            ++head_;
            return true;
        }
        const bool isLaterHere = head_ < end_ || (last_ && head_ < *last_);
        if (!isLaterHere && isEnded_) return false;
        if (concealedSamples_ == 0) period_ = findPeriod();
        // While the delay is still to grow towards the cushion, waiting for a
        // frame costs nothing that was not to be spent anyway.
        const auto cushion = cushionAt(head_, now);
        const bool isBehind = !isEnded_ && cushion && *cushion < path_->target(headroom_) - stretchBelow;
        if (isLaterHere && !isBehind) {
            // Its turn goes to concealment: compressed speech is rebuilt from
            // the next packet's copy when that is here. Otherwise the last
            // pitch period is repeated; a compressed talker's decoder is
            // still told of the loss, so it runs on from there, but what plays
            // is the repetition, which holds a vowel or tone well past the
            // 40 ms in which the decoder's own concealment of one fades.
            if (isPresent(head_ + 1) && isCompressedAt(head_ + 1)) {
                decode(head_ + 1, true);
                settle();
            } else {
                if (isCompressed_) decoder_.conceal(decoded_);
                for (std::int64_t i = 0; i < F; ++i) current_[std::size_t(i)] = concealedSample(concealedSamples_ + i);
                concealedSamples_ += F;
                length_ = F;
            }
            ++figures_.concealed;
            ++path_->total.concealed;
            ++head_;
            return true;
        }
        // Nothing later is here (or the delay is to grow): wait for it a pitch
        // period longer (fading as concealment does), which adds to the delay
        // instead of a hole; a talker silent for a second is given up.
        if (idle_ >= idleSamples) return false;
        length_ = period_ > 0 ? period_ : F / 2;
        for (std::int64_t i = 0; i < length_; ++i) current_[std::size_t(i)] = concealedSample(concealedSamples_ + i);
        concealedSamples_ += length_;
        idle_ += length_;
        return true;
    }

    bool isCompressedAt(std::int64_t index) const { return packetSizes_[std::size_t(index % queueFrames)] >= 0; }

    // Decodes into `current_` the packet of frame `index` (the frame before
    // it, from its FEC copy, when `isFec`), or the decoder's concealment for
    // none; a packet of another spurt than the decoder's last starts it afresh.
    void decode(std::optional<std::int64_t> index, bool isFec) {
        std::span<const std::uint8_t> packet;
        if (index) {
            const auto slot = std::size_t(*index % queueFrames);
            if (decoderSpurt_ != slotSpurt_[slot]) {
                decoder_.resetState();
                decoderSpurt_ = slotSpurt_[slot];
            }
            packet = std::span(packets_).subspan(slot * compressedBytes, std::size_t(packetSizes_[slot]));
        }
        decoder_.decodeFrame(packet, isFec, decoded_);
        for (std::int64_t i = 0; i < F; ++i) current_[std::size_t(i)] = float(decoded_[std::size_t(i)]) * (1.0f / 32768.0f);
        isCompressed_ = true;
    }

    // The frame now in `current_` is what plays: cross-faded in after a
    // concealment, and remembered for the next.
    void settle() {
        if (concealedSamples_ > 0) {
            for (std::int64_t i = 0; i < crossFade; ++i) {
                const float w = float(i + 1) / float(crossFade + 1);
                current_[std::size_t(i)] = current_[std::size_t(i)] * w + concealedSample(concealedSamples_ + i) * (1 - w);
            }
            concealedSamples_ = 0;
        }
        std::copy(history_.begin() + F, history_.end(), history_.begin());
        std::copy_n(current_.begin(), F, history_.begin() + F);
        length_ = F;
    }

    // Plays the frame in `current_` faster: leaves out the lag (at most
    // `wanted` samples, and what was saved up) over which it repeats best,
    // cross-faded; in a pause, any lag.
    void compress(std::int64_t wanted) {
        savedUp_ = std::min(savedUp_ + cutPerFrame, mostSavedUp);
        const bool isQuiet = isPause(std::span(current_).first(std::size_t(F)));
        const auto most = std::min({wanted, longestCut, isQuiet ? longestCut : savedUp_});
        if (most < shortestPeriod) return;
        std::int64_t cut = 0;
        if (isQuiet) {
            cut = most;
        } else {
            double best = goodMatch;
            for (std::int64_t lag = shortestPeriod; lag <= most; ++lag) {
                const double m = match(current_.data(), F - longestCut, lag);
                if (m > best) {
                    best = m;
                    cut = lag;
                }
            }
            if (cut == 0) return;
            savedUp_ -= cut;
        }
        for (std::int64_t i = 0; i < crossFade; ++i) {
            const float w = float(i + 1) / float(crossFade + 1);
            current_[std::size_t(i)] = current_[std::size_t(i)] * (1 - w) + current_[std::size_t(i + cut)] * w;
        }
        std::copy(current_.begin() + cut + crossFade, current_.begin() + F, current_.begin() + crossFade);
        length_ = F - cut;
    }

    // Plays the frame in `current_` slower: its last pitch period once more,
    // or as often as fits in `wanted` samples and half a frame (in a pause,
    // that much of its end), when it repeats well enough to.
    void stretch(std::int64_t wanted) {
        const auto most = std::min(wanted, longestCut);
        std::int64_t period = 0;
        if (isPause(std::span(current_).first(std::size_t(F)))) {
            period = most;
        } else {
            period = findPeriod();
            const auto tail = historySamples - matchWindow;
            if (period == 0 || match(history_.data() + tail - period, matchWindow, period) < goodMatch) return;
        }
        length_ = F;
        do {
            std::copy_n(current_.begin() + F - period, period, current_.begin() + length_);
            length_ += period;
        } while (length_ - F + period <= most);
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

    Path* path_ = nullptr;
    std::int64_t headroom_ = headroomSamples;
    std::vector<float> ring_;
    std::vector<std::int64_t> slotIndex_;  // the frame each slot holds, -1 for none
    std::int64_t base_ = 0;                // added to a frame index to place it
    std::int64_t head_ = 0;                // the next frame to play
    std::int64_t end_ = 0;                 // one past the newest frame placed
    std::int64_t spurtStart_ = 0;          // where the spurt being received begins
    std::optional<std::int64_t> last_;     // one past the spurt's last frame, once it ended
    std::optional<std::int64_t> earliest_; // arrival time less index of this spurt's earliest frame
    bool hasBase_ = false;
    bool isSpurtStart_ = false;
    bool isEnded_ = false;
    bool isPriming_ = true;
    std::array<float, 2 * F> current_{};  // what plays now: a frame, shortened or lengthened
    std::int64_t length_ = 0;
    std::int64_t position_ = 0;
    std::array<float, historySamples> history_{};  // the last two frames received and played
    std::int64_t concealedSamples_ = 0;            // into the current run of concealment or waiting
    std::int64_t savedUp_ = 0;                     // samples sound may be shortened by now
    std::int64_t period_ = 0;
    std::int64_t idle_ = 0;
    SpurtFigures figures_;
    // Compressed frames as they came, `compressedBytes` a slot; each slot's
    // size, -1 for one holding audio in `ring_`; the spurt each slot's frame is of.
    std::vector<std::uint8_t> packets_;
    std::vector<std::int32_t> packetSizes_;
    std::vector<std::int64_t> slotSpurt_;
    SpeechDecoder decoder_;
    std::optional<std::int64_t> decoderSpurt_;  // the spurt the decoder's state is of
    bool isCompressed_ = false;                 // the talker's last frame played was compressed
    std::array<std::int16_t, std::size_t(F)> decoded_{};
};

PlayoutMixer::PlayoutMixer(std::function<Clock::time_point()> now) : now_(std::move(now)) {
    for (std::size_t i = 0; i < maximumTalkers; ++i) queues_.push_back(std::make_unique<Queue>());
    for (std::size_t i = 0; i < rememberedTalkers; ++i) paths_.push_back(std::make_unique<Path>());
}

PlayoutMixer::~PlayoutMixer() = default;

std::int64_t PlayoutMixer::nowSamples() const {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now_().time_since_epoch()).count();
    return ns / (1'000'000'000 / std::int64_t(WalkieConfig::sampleRate));
}

PlayoutMixer::Queue* PlayoutMixer::find(const Uuid& talker) const {
    for (const auto& q : queues_)
        if (q->isInUse && q->talker == talker) return q.get();
    return nullptr;
}

PlayoutMixer::Path& PlayoutMixer::pathOf(const Uuid& talker) {
    Path* found = nullptr;
    for (auto& p : paths_)
        if (p->isKnown && p->talker == talker) found = p.get();
    if (!found) {
        // The talker heard longest ago makes room; one playing never does.
        for (auto& p : paths_)
            if (!p->isInUse && (!found || !p->isKnown || (found->isKnown && p->lastUse < found->lastUse))) found = p.get();
        found->open(talker);
    }
    found->lastUse = ++pathUses_;
    return *found;
}

PlayoutMixer::Queue* PlayoutMixer::acquire(const Uuid& talker) {
    if (auto* q = find(talker)) return q;
    auto it = std::find_if(queues_.begin(), queues_.end(), [](const auto& q) { return !q->isInUse; });
    // All busy: a talker who has finished gives way, one still talking does not.
    if (it == queues_.end()) it = std::find_if(queues_.begin(), queues_.end(), [](const auto& q) { return q->isEnded(); });
    if (it == queues_.end()) return nullptr;
    (*it)->close();
    (*it)->open(talker, pathOf(talker));
    return it->get();
}

void PlayoutMixer::beginSpurt(const Uuid& talker) {
    std::lock_guard lock(mutex_);
    if (auto* q = acquire(talker)) q->beginSpurt();
}

bool PlayoutMixer::write(const Uuid& talker, std::uint32_t frameIndex, std::span<const std::uint8_t> pcm16le) {
    return place(talker, frameIndex, pcm16le, false);
}

bool PlayoutMixer::writeCompressed(const Uuid& talker, std::uint32_t frameIndex, std::span<const std::uint8_t> packet) {
    return place(talker, frameIndex, packet, true);
}

bool PlayoutMixer::place(const Uuid& talker, std::uint32_t frameIndex, std::span<const std::uint8_t> payload, bool isCompressed) {
    const auto now = nowSamples();
    std::lock_guard lock(mutex_);
    auto* q = acquire(talker);
    if (!q) return false;
    q->write(frameIndex, payload, isCompressed, now);
    return true;
}

void PlayoutMixer::endSpurt(const Uuid& talker, std::optional<std::uint32_t> frameCount) {
    std::lock_guard lock(mutex_);
    if (auto* q = find(talker)) q->end(frameCount);
}

void PlayoutMixer::reset() {
    std::lock_guard lock(mutex_);
    for (auto& q : queues_) q->close();
    for (auto& p : paths_) p->isKnown = false;
    limiterGain_ = 1.0f;
    hasOutputClock_ = false;
}

bool PlayoutMixer::render(std::span<float> out) {
    const auto now = nowSamples();
    std::lock_guard lock(mutex_);
    // Where the output stands: counted in samples pulled, following the wall
    // clock slowly, afresh after a pause in the pulls.
    const bool isBack = hasOutputClock_ && now - lastPull_ > outputAway;
    if (!hasOutputClock_ || now - lastPull_ > outputPause) outputClock_ = now;
    outputClock_ += (now - outputClock_) / clockFollow;
    lastPull_ = now;
    hasOutputClock_ = true;
    // A frame is placed when the pull that plays its start comes, up to a
    // pull before it is heard: the cushion covers the largest recent pull.
    pulls_[pullAt_++ % pulls_.size()] = std::int64_t(out.size());
    const auto headroom = headroomFor(*std::max_element(pulls_.begin(), pulls_.end()));
    if (isBack)
        for (auto& q : queues_)
            if (q->isInUse) q->catchUp(outputClock_, headroom);
    bool isPlaying = false;
    for (std::size_t done = 0; done < out.size(); done += std::size_t(frameSamples)) {
        const auto chunk = out.subspan(done, std::min(out.size() - done, std::size_t(frameSamples)));
        const auto part = std::span(scratch_).first(chunk.size());
        std::fill(chunk.begin(), chunk.end(), 0.0f);
        for (auto& q : queues_) {
            if (!q->isInUse) continue;
            if (q->read(part, outputClock_, headroom)) {
                isPlaying = true;
                for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] += part[i];
            } else if (q->isFinished()) {
                q->close();
            }
        }
        outputClock_ += std::int64_t(chunk.size());
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

std::optional<TalkerPlayout> PlayoutMixer::playout(const Uuid& talker) const {
    std::lock_guard lock(mutex_);
    for (const auto& p : paths_) {
        if (!p->isKnown || p->talker != talker) continue;
        constexpr double msPerSample = 1000.0 / WalkieConfig::sampleRate;
        const auto headroom = headroomFor(*std::max_element(pulls_.begin(), pulls_.end()));
        return TalkerPlayout{double(p->target(headroom)) * msPerSample, double(p->cushion) * msPerSample, p->total};
    }
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
