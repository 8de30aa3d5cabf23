#include "core/audio/JitterBuffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

namespace hh {
namespace {

using Samples = std::vector<float>;

Samples ramp(std::size_t n, float start = 1) {
    Samples v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}
Samples silence(std::size_t n) { return Samples(n, 0.0f); }

// What a read of n samples gives, and whether it played.
std::pair<Samples, bool> read(JitterBuffer& jb, std::size_t n) {
    Samples out(n, -7.0f);  // never a value the buffer would write
    const bool played = jb.read(out);
    return {out, played};
}

TEST(JitterBuffer, PrimesBeforePlayingAndAfterUnderrun) {
    JitterBuffer jb;
    EXPECT_EQ(read(jb, 512), std::pair(silence(512), false));
    jb.write(ramp(959));
    EXPECT_EQ(read(jb, 100), std::pair(silence(100), false));
    EXPECT_EQ(jb.count(), 959);  // nothing consumed while priming
    jb.write(Samples{960});
    EXPECT_EQ(read(jb, 512), std::pair(ramp(512), true));
    auto tail = ramp(448, 513);
    tail.resize(512, 0.0f);
    EXPECT_EQ(read(jb, 512), std::pair(tail, true));  // the underrun pads with silence
    EXPECT_TRUE(jb.isPriming());
    EXPECT_EQ(read(jb, 512), std::pair(silence(512), false));
    // After the underrun, a small write is not enough to play again.
    jb.write(ramp(500));
    EXPECT_EQ(read(jb, 10), std::pair(silence(10), false));
}

TEST(JitterBuffer, ZeroCountReadEndsPrimingButPlaysNothing) {
    JitterBuffer jb;
    jb.write(ramp(960));
    Samples none;
    EXPECT_FALSE(jb.read(none));
    EXPECT_FALSE(jb.isPriming());
    // Now playing: even 1 buffered sample plays.
    EXPECT_EQ(read(jb, 959).first, ramp(959));
    EXPECT_EQ(read(jb, 1), std::pair(Samples{960}, true));
}

TEST(JitterBuffer, OverflowDropsOldestFirstAcrossTheWrap) {
    JitterBuffer jb;
    jb.write(ramp(32001));
    EXPECT_EQ(jb.count(), 32000);
    EXPECT_EQ(read(jb, 5).first, ramp(5, 2));
    // Overflow across the wrap, in several writes, and one write longer than the ring.
    JitterBuffer wrap;
    wrap.write(ramp(20000));
    EXPECT_EQ(read(wrap, 15000).first, ramp(15000));
    wrap.write(ramp(30000, 20001));  // 35000 offered, 32000 fit
    EXPECT_EQ(read(wrap, 3).first, ramp(3, 18001));
    wrap.write(ramp(70000, 100000));
    EXPECT_EQ(wrap.count(), 32000);
    EXPECT_EQ(read(wrap, 32000).first, ramp(32000, 100000 + 70000 - 32000));
}

TEST(JitterBuffer, EmptyWriteAndResetLeaveNothingToPlay) {
    JitterBuffer jb;
    jb.write({});
    EXPECT_EQ(jb.count(), 0);
    jb.write(ramp(2000));
    EXPECT_EQ(read(jb, 100).first, ramp(100));
    jb.reset();
    EXPECT_EQ(jb.count(), 0);
    EXPECT_EQ(read(jb, 100), std::pair(silence(100), false));
    jb.write(ramp(960, 5000));
    EXPECT_EQ(read(jb, 3).first, ramp(3, 5000));  // old samples never come back
}

// A writer and a reader on two threads, as the main and output threads are:
// every played sample is one that was written, in order, with no tearing.
TEST(JitterBufferConcurrency, WriterAndReaderOnTwoThreads) {
    JitterBuffer jb;
    constexpr int frames = 3000;
    std::thread writer([&] {
        for (int f = 0; f < frames; ++f) jb.write(ramp(320, float(f * 320 + 1)));
    });
    float last = 0;
    bool isOrdered = true;
    Samples out(256);
    for (int i = 0; i < frames * 2; ++i) {
        jb.read(out);
        for (float v : out) {
            if (v == 0) continue;
            isOrdered = isOrdered && v > last;
            last = v;
        }
    }
    writer.join();
    EXPECT_TRUE(isOrdered);
    EXPECT_LE(jb.count(), 32000);
}

} // namespace
} // namespace hh
