#include "core/audio/PlayoutMixer.h"
#include "core/wire/WalkiePacket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
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
constexpr std::size_t F = PlayoutMixer::frameSamples;

// Frame i of a talker: constant (i + 1) / 1024, so the output tells which frame played.
Bytes numbered(std::int64_t i) {
    const auto v = std::uint16_t((i % 1000 + 1) * 32);
    Bytes out;
    for (std::size_t s = 0; s < F; ++s) out.insert(out.end(), {std::uint8_t(v & 0xFF), std::uint8_t(v >> 8)});
    return out;
}

// Plays one frame onto the end of `out`; what the mixer leaves untouched shows as -7.
void playOne(PlayoutMixer& m, Samples& out) {
    out.resize(out.size() + F, -7.0f);
    m.render(std::span(out).last(F));
}

// What each 20 ms of output was: the number of the frame played, or -1 when
// made up (concealed), -2 for silence.
std::vector<int> frames(const Samples& out) {
    std::vector<int> seen;
    for (std::size_t at = 0; at + F <= out.size(); at += F) {
        // From 100 on: past a cross-fade in, and into a concealment's fade.
        const float v = out[at + 100];
        const bool isFlat = std::all_of(out.begin() + std::ptrdiff_t(at + 100), out.begin() + std::ptrdiff_t(at + F),
                                        [&](float x) { return x == v; });
        seen.push_back(!isFlat ? -1 : v == 0 ? -2 : int(std::lround(v * 1024)) - 1);
    }
    while (!seen.empty() && seen.back() == -2) seen.pop_back();
    return seen;
}

constexpr int pullOne = -1;
constexpr std::int64_t big = 1'000'000;

struct PlacementCase {
    const char* name;
    std::vector<std::int64_t> arrivals;  // frame indices; pullOne plays one frame
    std::vector<int> heard;              // frame numbers (index % 1000), -1 concealed
    SpurtFigures figures;
};

TEST(PlayoutMixer, FramesArePlacedByIndex) {
    const std::vector<PlacementCase> cases = {
        {"a missing frame is concealed in its place", {0, 1, 2, 4, 5, 6}, {0, 1, 2, -1, 4, 5, 6}, {6, 1, 0}},
        {"a reordered pair plays in order", {0, 2, 1, 3, 4}, {0, 1, 2, 3, 4}, {5, 0, 0}},
        {"a late frame is dropped", {0, 1, 2, 3, pullOne, pullOne, 1, 4}, {0, 1, 2, 3, 4}, {5, 0, 1}},
        {"a duplicate is dropped", {0, 1, 1, 2, 3}, {0, 1, 2, 3}, {4, 0, 0}},
        {"lost at the edge: concealed, and the next one arrives in time",
         {0, 1, 2, pullOne, pullOne, pullOne, pullOne, 4, 5, 6}, {0, 1, 2, -1, 4, 5, 6}, {6, 1, 0}},
        {"a jump of a million starts afresh at once", {0, 1, 2, 3, pullOne, big, big + 1, big + 2}, {0, 1, 2, 3, 0, 1, 2}, {7, 0, 0}},
        {"the counter wraps", {4294967294, 4294967295, 0, 1}, {294, 295, 0, 1}, {4, 0, 0}},
    };
    for (const auto& c : cases) {
        PlayoutMixer mixer;
        const Uuid talker = Uuid::random();
        mixer.beginSpurt(talker);
        Samples out;
        std::int64_t newest = 0;
        for (auto a : c.arrivals) {
            if (a == pullOne) {
                playOne(mixer, out);
                continue;
            }
            const auto index = std::uint32_t(std::uint64_t(a));
            mixer.write(talker, index, numbered(a));
            newest = a;
        }
        mixer.endSpurt(talker, std::uint32_t(std::uint64_t(newest + 1)));
        auto figures = mixer.figures(talker);
        for (int i = 0; i < 40; ++i) {
            playOne(mixer, out);
            if (auto f = mixer.figures(talker)) figures = f;  // the last before the queue is freed
        }
        auto heard = frames(out);
        heard.erase(heard.begin(), std::find_if(heard.begin(), heard.end(), [](int f) { return f != -2; }));
        EXPECT_EQ(heard, c.heard) << c.name;
        ASSERT_TRUE(figures) << c.name;
        EXPECT_EQ(*figures, c.figures) << c.name;
    }
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
    PlayoutMixer mixer;
    const Uuid talker = Uuid::random();
    constexpr std::uint32_t total = 900;
    std::thread writer([&] {
        for (std::uint32_t f = 0; f < total; ++f) mixer.write(talker, f, numbered(f));
    });
    Samples out;
    for (std::uint32_t i = 0; i < total * 2; ++i) playOne(mixer, out);
    writer.join();
    auto played = frames(out);
    std::erase_if(played, [](int f) { return f < 0; });
    EXPECT_FALSE(played.empty());
    EXPECT_TRUE(std::is_sorted(played.begin(), played.end()) &&
                std::adjacent_find(played.begin(), played.end()) == played.end());
}

} // namespace
} // namespace hh
