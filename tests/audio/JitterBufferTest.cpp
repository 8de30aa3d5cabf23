#include "core/audio/JitterBuffer.h"

#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

namespace hh {
namespace {

std::vector<float> ramp(std::size_t n, float start = 1) {
    std::vector<float> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

std::vector<float> readN(JitterBuffer& jb, std::size_t n, bool* played = nullptr) {
    std::vector<float> out(n, -7.0f); // never a value the buffer would write
    const bool p = jb.read(out);
    if (played) *played = p;
    return out;
}

TEST(JitterBuffer, PrimesBeforePlayingAndAfterUnderrun) {
    JitterBuffer jb;
    EXPECT_EQ(jb.capacity(), 32000);
    EXPECT_EQ(jb.primeThreshold(), 960);
    bool played = true;
    EXPECT_EQ(readN(jb, 512, &played), std::vector<float>(512, 0.0f));
    EXPECT_FALSE(played);

    jb.write(ramp(959));
    EXPECT_EQ(readN(jb, 100, &played), std::vector<float>(100, 0.0f));
    EXPECT_FALSE(played);
    EXPECT_EQ(jb.count(), 959); // nothing consumed while priming
    jb.write(std::vector<float>{960});

    auto first = readN(jb, 512, &played);
    EXPECT_TRUE(played);
    EXPECT_EQ(first, ramp(512));
    auto second = readN(jb, 512, &played);
    EXPECT_TRUE(played);
    auto expected = ramp(448, 513);
    expected.resize(512, 0.0f);
    EXPECT_EQ(second, expected);
    EXPECT_TRUE(jb.isPriming());
    EXPECT_EQ(jb.count(), 0);
    EXPECT_EQ(readN(jb, 512, &played), std::vector<float>(512, 0.0f));
    EXPECT_FALSE(played);

    // After the underrun, a small write is not enough to play again.
    jb.write(ramp(500));
    EXPECT_EQ(readN(jb, 10, &played), std::vector<float>(10, 0.0f));
    EXPECT_FALSE(played);
}

TEST(JitterBuffer, ZeroCountReadEndsPrimingButPlaysNothing) {
    JitterBuffer jb;
    jb.write(ramp(960));
    std::vector<float> none;
    EXPECT_FALSE(jb.read(none));
    EXPECT_FALSE(jb.isPriming());
    // Now playing: even 1 buffered sample plays.
    EXPECT_EQ(readN(jb, 959), ramp(959));
    bool played = false;
    EXPECT_EQ(readN(jb, 1, &played), std::vector<float>{960});
    EXPECT_TRUE(played);
}

TEST(JitterBuffer, OverflowDropsOldestFirst) {
    JitterBuffer jb;
    jb.write(ramp(32001));
    EXPECT_EQ(jb.count(), 32000);
    EXPECT_EQ(readN(jb, 5), ramp(5, 2));

    // Overflow across the wrap, in several writes, and one write longer than the ring.
    JitterBuffer wrap;
    wrap.write(ramp(20000));
    EXPECT_EQ(readN(wrap, 15000), ramp(15000));
    wrap.write(ramp(30000, 20001)); // 35000 offered, 32000 fit
    EXPECT_EQ(wrap.count(), 32000);
    EXPECT_EQ(readN(wrap, 3), ramp(3, 18001));
    wrap.write(ramp(70000, 100000));
    EXPECT_EQ(wrap.count(), 32000);
    auto all = readN(wrap, 32000);
    EXPECT_EQ(all, ramp(32000, 100000 + 70000 - 32000));
}

TEST(JitterBuffer, EmptyWriteAndResetLeaveNothingToPlay) {
    JitterBuffer jb;
    jb.write({});
    EXPECT_EQ(jb.count(), 0);
    jb.write(ramp(2000));
    EXPECT_EQ(readN(jb, 100), ramp(100));
    jb.reset();
    EXPECT_EQ(jb.count(), 0);
    EXPECT_TRUE(jb.isPriming());
    bool played = true;
    EXPECT_EQ(readN(jb, 100, &played), std::vector<float>(100, 0.0f));
    EXPECT_FALSE(played);
    jb.write(ramp(960, 5000));
    EXPECT_EQ(readN(jb, 3), ramp(3, 5000)); // old samples never come back
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
    std::vector<float> out(256);
    std::thread reader([&] {
        for (int i = 0; i < frames * 2; ++i) {
            jb.read(out);
            for (float v : out) {
                if (v == 0) continue;
                if (v <= last) isOrdered = false;
                last = v;
            }
        }
    });
    writer.join();
    reader.join();
    EXPECT_TRUE(isOrdered);
    EXPECT_GE(jb.count(), 0);
    EXPECT_LE(jb.count(), 32000);
}

} // namespace
} // namespace hh
