#include "core/audio/PlayoutMixer.h"
#include "core/audio/SpeechCodec.h"
#include "core/wire/WalkiePacket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <numbers>
#include <new>
#include <optional>
#include <random>
#include <thread>
#include <vector>

// Counts allocations, to show that placing and mixing allocate nothing. GCC
// takes the malloc/free inside the replacements for a mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<long> allocations{0};
}
void* operator new(std::size_t n) {
    ++allocations;
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace hh {
namespace {

using Samples = std::vector<float>;
constexpr std::int64_t F = PlayoutMixer::frameSamples;
constexpr std::int64_t ms = 16;  // samples
constexpr std::int64_t pull = 10 * ms;

// Frame i of a talker: constant (i % 1000 + 1) / 1024, so the output tells which frame played.
Bytes numbered(std::int64_t i) {
    const auto v = std::uint16_t((i % 1000 + 1) * 32);
    Bytes out;
    for (std::int64_t s = 0; s < F; ++s) out.insert(out.end(), {std::uint8_t(v & 0xFF), std::uint8_t(v >> 8)});
    return out;
}

// What came out: the frames heard in order (a frame played longer or shorter
// counts once), how many stretches were made up (concealment, or waiting
// past a pitch period's hold), and the longest silence between the first
// frame heard and the last.
struct Heard {
    std::vector<int> frames;
    int madeUp = 0;
    std::int64_t longestHole = 0;
};

Heard analyse(const Samples& out) {
    Heard h;
    std::int64_t silence = 0, unsteady = 0;
    for (std::size_t at = 0; at < out.size();) {
        std::size_t run = at + 1;
        while (run < out.size() && out[run] == out[at]) ++run;
        const auto length = std::int64_t(run - at);
        if (out[at] == 0.0f) {
            if (!h.frames.empty()) silence += length;
        } else if (length >= 64) {
            if (unsteady >= 100) ++h.madeUp;
            h.longestHole = std::max(h.longestHole, silence);
            silence = unsteady = 0;
            const int frame = int(std::lround(out[at] * 1024)) - 1;
            if (h.frames.empty() || h.frames.back() != frame) h.frames.push_back(frame);
        } else {
            unsteady += length;
        }
        at = run;
    }
    if (unsteady >= 100) ++h.madeUp;
    return h;
}

std::vector<int> range(int from, int to) {
    std::vector<int> v;
    for (int i = from; i < to; ++i) v.push_back(i % 1000);
    return v;
}

// A listener in virtual time: talkers' packets arrive when due, the output
// pulls 10 ms at a time.
struct Listener {
    std::int64_t now = 0;  // samples
    PlayoutMixer mixer{[this] { return PlayoutMixer::Clock::time_point(std::chrono::nanoseconds(now * 62'500)); }};
    Samples out;
    // Packets by arrival time: a frame (index), a talk start (-1) or a talk end (-2 - frame count).
    std::multimap<std::int64_t, std::int64_t> arrivals;
    Uuid talker = Uuid::random();
    const std::vector<Bytes>* packets = nullptr;  // when set, frame i is compressed packet i

    // A spurt of `frames` sent from `start`, each frame delayed by `delay(i)`
    // samples, or lost (nullopt); the talk start and end come undelayed.
    void spurt(std::int64_t start, int frames, const std::function<std::optional<std::int64_t>(int)>& delay) {
        arrivals.emplace(start, -1);
        std::int64_t latest = start;
        for (int i = 0; i < frames; ++i) {
            if (const auto d = delay(i)) {
                arrivals.emplace(start + i * F + *d, i);
                latest = std::max(latest, start + i * F + *d);
            }
        }
        arrivals.emplace(std::max(latest, start + frames * F), -2 - frames);
    }

    // Plays until `until`; returns what was heard from `from` on.
    Samples play(std::int64_t until) {
        const auto from = out.size();
        while (now < until) {
            const auto next = now + pull;
            for (auto it = arrivals.begin(); it != arrivals.end() && it->first < next; it = arrivals.erase(it)) {
                now = std::max(now, it->first);
                if (it->second == -1) mixer.beginSpurt(talker);
                else if (it->second < -1) mixer.endSpurt(talker, std::uint32_t(-2 - it->second));
                else if (packets) mixer.writeCompressed(talker, std::uint32_t(it->second), (*packets)[std::size_t(it->second)]);
                else mixer.write(talker, std::uint32_t(it->second), numbered(it->second));
            }
            now = next;
            out.resize(out.size() + pull);
            mixer.render(std::span(out).last(pull));
        }
        return Samples(out.begin() + std::ptrdiff_t(from), out.end());
    }
};

constexpr std::int64_t second = 1000 * ms;
std::optional<std::int64_t> onTime(int) { return 0; }

struct PlacementCase {
    const char* name;
    std::vector<std::pair<std::int64_t, std::int64_t>> arrivals;  // (frame, when in ms); the end follows the last
    std::vector<int> heard;
    SpurtFigures figures;
    int madeUp;
};

// Arrivals on a steady path (the cushion of a new talker: 40 ms) against
// what is heard: every frame in order and in its place.
TEST(PlayoutMixer, FramesPlayInOrderAtTheirTurn) {
    const std::vector<PlacementCase> cases = {
        {"on time", {{0, 0}, {1, 20}, {2, 40}, {3, 60}}, {0, 1, 2, 3}, {4, 0, 0}, 0},
        {"a missing frame is concealed in its place", {{0, 0}, {1, 20}, {2, 40}, {4, 80}, {5, 100}}, {0, 1, 2, 4, 5}, {5, 1, 0}, 1},
        {"a reordered pair within the cushion plays in order", {{0, 0}, {2, 40}, {1, 50}, {3, 60}}, {0, 1, 2, 3}, {4, 0, 0}, 0},
        {"past its turn, with later ones here: concealed, then dropped",
         {{0, 0}, {1, 20}, {3, 60}, {4, 80}, {5, 100}, {2, 110}, {6, 120}}, {0, 1, 3, 4, 5, 6}, {6, 1, 1}, 1},
        {"a duplicate is dropped", {{0, 0}, {1, 20}, {1, 25}, {2, 40}}, {0, 1, 2}, {3, 0, 0}, 0},
        {"nothing later here: waited for, not concealed", {{0, 0}, {1, 20}, {2, 40}, {3, 210}, {4, 210}, {5, 210}},
         {0, 1, 2, 3, 4, 5}, {6, 0, 0}, 1},
        {"a jump of a million starts afresh at once", {{0, 0}, {1, 20}, {2, 40}, {1'000'000, 60}, {1'000'001, 80}},
         {0, 1, 2, 0, 1}, {5, 0, 0}, 0},
        {"the counter wraps", {{4294967294, 0}, {4294967295, 20}, {0, 40}, {1, 60}}, {294, 295, 0, 1}, {4, 0, 0}, 0},
    };
    for (const auto& c : cases) {
        Listener l;
        for (const auto& [frame, when] : c.arrivals) l.arrivals.emplace(when * ms, frame);
        l.arrivals.emplace(c.arrivals.back().second * ms, -2 - std::int64_t(std::uint32_t(c.arrivals.back().first + 1)));
        std::optional<SpurtFigures> figures;
        while (l.now < 2 * second) {
            l.play(l.now + pull);
            if (auto f = l.mixer.figures(l.talker)) figures = f;  // the last before the queue is freed
        }
        const auto heard = analyse(l.out);
        EXPECT_EQ(heard.frames, c.heard) << c.name;
        EXPECT_EQ(heard.madeUp, c.madeUp) << c.name;
        ASSERT_TRUE(figures) << c.name;
        EXPECT_EQ(*figures, c.figures) << c.name;
    }
}

// A path that holds everything to 204.8 ms beacons: the first spurt has to
// wait, learning it; the second starts with the cushion learned and has no
// hole; afterwards, on a clean path, one long spurt comes back under 70 ms
// within 10 s without a hole while the delay shrinks.
TEST(PlayoutMixer, CushionLearnedFromBurstsAndGivenBack) {
    Listener l;
    constexpr std::int64_t beacon = 3277;  // 204.8 ms
    const auto burst = [](std::int64_t start) {
        return [start](int i) -> std::optional<std::int64_t> {
            const auto sent = start + i * F;
            return (sent / beacon + 1) * beacon - sent;
        };
    };
    l.spurt(1000, 150, burst(1000));
    const auto first = analyse(l.play(5 * second));
    EXPECT_EQ(first.frames, range(0, 150));
    EXPECT_GT(first.madeUp, 0) << "the first spurt had to wait";
    const auto learned = l.mixer.playout(l.talker);
    ASSERT_TRUE(learned);
    EXPECT_GE(learned->targetMs, 200);
    EXPECT_LE(learned->targetMs, 230);

    l.spurt(5 * second + 777, 150, burst(5 * second + 777));
    const auto second_ = analyse(l.play(10 * second));
    EXPECT_EQ(second_.frames, range(0, 150));
    EXPECT_EQ(second_.madeUp, 0) << "the second spurt started with the cushion learned";
    EXPECT_EQ(second_.longestHole, 0);

    l.spurt(10 * second, 480, onTime);
    const auto back = analyse(l.play(20 * second));
    EXPECT_EQ(back.frames, range(0, 480));
    EXPECT_EQ(back.madeUp, 0);
    EXPECT_EQ(back.longestHole, 0);
    const auto after = l.mixer.playout(l.talker);
    ASSERT_TRUE(after);
    EXPECT_LT(after->targetMs, 70);
    EXPECT_LT(after->cushionMs, 70);
    EXPECT_EQ(after->total.concealed + after->total.late, 0u);
}

// Gaussian delay (10 +- 25 ms, which reorders) and 3 % loss: after the first
// second, only lost frames are made up, and all play in order.
TEST(PlayoutMixer, JitterAndLossCostOnlyTheLostFrames) {
    Listener l;
    std::mt19937 random(7);
    std::normal_distribution<double> delay(10, 25);
    std::bernoulli_distribution loss(0.03);
    int lost = 0;
    l.spurt(0, 1000, [&](int i) -> std::optional<std::int64_t> {
        if (loss(random)) {
            lost += i >= 50;
            return std::nullopt;
        }
        return std::int64_t(std::max(0.0, delay(random)) * ms);
    });
    l.play(22 * second);
    const auto heard = analyse(l.out);
    EXPECT_TRUE(std::is_sorted(heard.frames.begin(), heard.frames.end()));
    const auto played = l.mixer.playout(l.talker);
    ASSERT_TRUE(played);
    // The first second learns the path; from then on, within loss + 0.5 %.
    EXPECT_LE(int(played->total.concealed + played->total.late), lost + 5 + 5);
    EXPECT_LT(played->targetMs, 120);
}

// Compressed speech is decoded at each frame's turn: a pair reordered within
// the cushion plays as if it had come in order, a lost frame comes back from
// the next packet's FEC copy, of two lost in a row the first is concealed
// (while the decoder is told of it) and the second rebuilt, an oversized
// packet is concealed by the decoder; sample for sample what a decoder fed in
// order gives, but for the concealed frame, and nothing allocated.
TEST(PlayoutMixer, CompressedFramesDecodedInOrderAtTheirTurn) {
    std::vector<Bytes> packets;
    SpeechEncoder encoder;
    for (int f = 0; f < 100; ++f) {
        Bytes pcm(2 * F);
        for (std::int64_t i = 0; i < F; ++i) {
            const auto v = std::uint16_t(std::lround(0.3 * 32767 * std::sin(2 * std::numbers::pi * 730 * double(f * F + i) / 16000)));
            pcm[std::size_t(2 * i)] = std::uint8_t(v & 0xFF);
            pcm[std::size_t(2 * i + 1)] = std::uint8_t(v >> 8);
        }
        packets.push_back(encoder.encode(pcm));
    }
    packets[70] = Bytes(2022, 0x5A);
    const auto isLost = [](int i) { return i == 20 || i == 30 || i == 31; };
    // The reference: a decoder given the same packets in order.
    Samples expected;
    SpeechDecoder reference;
    reference.beginSpurt();
    for (std::uint32_t i = 0; i < packets.size(); ++i) {
        if (isLost(int(i))) continue;
        for (const auto& frame : reference.decode(i, packets[i]))
            for (std::size_t k = 0; k + 1 < frame.pcm16le.size(); k += 2)
                expected.push_back(float(std::int16_t(std::uint16_t(frame.pcm16le[k] | frame.pcm16le[k + 1] << 8))) / 32768.0f);
    }
    Listener l;
    l.packets = &packets;
    l.spurt(0, int(packets.size()), [&](int i) -> std::optional<std::int64_t> {
        if (isLost(i)) return std::nullopt;
        if (i == 5 || i == 50) return 25 * ms;  // after the next one
        if (i == 32) return -10 * ms;           // here at 30's turn, so that is concealed, not waited for
        return 0;
    });
    l.out.reserve(std::size_t(3 * second + pull));
    const long before = allocations;
    const auto out = l.play(3 * second);
    EXPECT_EQ(allocations - before, 1) << "none but the copy play() returns";
    const auto start = std::find_if(out.begin(), out.end(), [](float v) { return v != 0.0f; });
    ASSERT_NE(start, out.end());
    const auto first = std::find_if(expected.begin(), expected.end(), [](float v) { return v != 0.0f; });
    ASSERT_GE(out.end() - start, expected.end() - first);
    // Frame 30 is the queue's own concealment, cross-faded into 31.
    std::int64_t differing = 0;
    float concealedPeak = 0;
    auto o = start;
    for (auto e = first; e != expected.end(); ++e, ++o) {
        const auto at = e - expected.begin();
        if (at >= 30 * F && at < 31 * F) concealedPeak = std::max(concealedPeak, std::fabs(*o));
        else if (at < 30 * F || at >= 31 * F + 64) differing += *e != *o;
    }
    EXPECT_EQ(differing, 0);
    EXPECT_GT(concealedPeak, 0.2f) << "the tone carried on";
    const auto played = l.mixer.playout(l.talker);
    ASSERT_TRUE(played);
    EXPECT_EQ(played->total.concealed, 3u) << "20, 30, 31";
    EXPECT_EQ(played->total.late, 0u);
}

// A flood of senders neither grows memory nor allocates.
TEST(PlayoutMixer, ThousandSendersStayBounded) {
    PlayoutMixer mixer;
    std::vector<Uuid> ids(1000);
    for (auto& id : ids) id = Uuid::random();
    const auto frame = numbered(0);
    Samples out(1600);
    const long before = allocations;
    std::size_t accepted = 0;
    for (const auto& id : ids) accepted += mixer.write(id, 0, frame);
    EXPECT_EQ(accepted, PlayoutMixer::maximumTalkers);
    EXPECT_EQ(mixer.queueCount(), PlayoutMixer::maximumTalkers);
    // A talker who has ended gives way; those gone quiet are freed after a second.
    mixer.endSpurt(ids[3], std::nullopt);
    EXPECT_TRUE(mixer.write(ids[500], 0, frame));
    EXPECT_FALSE(mixer.write(ids[501], 0, frame));
    for (int i = 0; i < 11; ++i) mixer.render(out);
    EXPECT_EQ(mixer.queueCount(), 0u);
    EXPECT_EQ(allocations - before, 0);
}

// The main thread writes while the output thread renders: frames come out
// in order (some concealed or dropped when the threads drift), never torn.
TEST(PlayoutMixerConcurrency, WriterAndRendererOnTwoThreads) {
    std::atomic<std::int64_t> now{0};
    PlayoutMixer mixer([&] { return PlayoutMixer::Clock::time_point(std::chrono::nanoseconds(now.load() * 62'500)); });
    const Uuid talker = Uuid::random();
    constexpr std::uint32_t total = 900;
    std::atomic<std::uint32_t> written{0};
    std::thread writer([&] {
        for (std::uint32_t f = 0; f < total; ++f) {
            mixer.write(talker, f, numbered(f));
            ++written;
            written.notify_one();
        }
    });
    Samples out;
    for (std::uint32_t i = 0; i < total * 2; ++i) {
        // Never more than half a spurt ahead of the writer, however the two
        // threads are scheduled: they overlap, and the talker is never idle long
        // enough to be freed.
        for (auto w = written.load(); w < std::min(total, i / 2 + 1); w = written.load())
            written.wait(w);
        out.resize(out.size() + F);
        mixer.render(std::span(out).last(F));
        now += F;
    }
    writer.join();
    const auto heard = analyse(out);
    EXPECT_FALSE(heard.frames.empty());
    EXPECT_TRUE(std::is_sorted(heard.frames.begin(), heard.frames.end()));
}

} // namespace
} // namespace hh
