#include "core/exec/AsioExecutor.h"
#include "support/LogCapture.h"
#include "support/ManualExecutor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <vector>

namespace hh {
namespace {

using namespace std::chrono_literals;

// Each task runs at its own due time, in time order, only when the test moves the clock.
TEST(ManualExecutor, RunsTasksInTimeOrderOnVirtualTime) {
    ManualExecutor ex;
    const auto start = ex.now();
    std::vector<Executor::Duration> ranAt;
    auto record = [&] { ranAt.push_back(ex.now() - start); };
    ex.postAfter(200ms, record);
    ex.postAfter(100ms, record);
    ex.post(record);
    EXPECT_EQ(ex.runUntilIdle(), 1u);
    ex.advance(150ms);
    EXPECT_EQ(ranAt, (std::vector<Executor::Duration>{0ms, 100ms}));
    EXPECT_EQ(ex.now() - start, 150ms);
    ex.advance(1s);
    EXPECT_EQ(ranAt.back(), 200ms);
}

TEST(ManualExecutor, RepeatingTimerTicksUntilInvalidated) {
    ManualExecutor ex;
    int ticks = 0;
    auto timer = ex.startRepeating(100ms, [&] { ++ticks; });
    ex.advance(99ms);
    EXPECT_EQ(ticks, 0);
    ex.advance(1ms);
    EXPECT_EQ(ticks, 1);
    ex.advance(1s);
    EXPECT_EQ(ticks, 11);
    timer->invalidate();
    ex.advance(1s);
    EXPECT_EQ(ticks, 11);
    auto dropped = ex.startRepeating(100ms, [&] { ++ticks; });
    dropped.reset();
    ex.advance(1s);
    EXPECT_EQ(ticks, 11);
}

TEST(AsioExecutor, RunsPostedAndDelayedTasksInOrderOnItsThread) {
    AsioExecutor ex("test.exec");
    std::vector<int> order;
    std::promise<void> done;
    ex.post([&] { order.push_back(1); EXPECT_TRUE(ex.isCurrentThread()); });
    ex.postAfter(20ms, [&] { order.push_back(3); done.set_value(); });
    ex.post([&] { order.push_back(2); });
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    ex.runAndWait([] {});
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(AsioExecutor, RepeatingTimerStopsWhenInvalidated) {
    AsioExecutor ex("test.timer");
    std::atomic<int> ticks{0};
    std::promise<void> three;
    auto timer = ex.startRepeating(5ms, [&] {
        if (++ticks == 3) three.set_value();
    });
    ASSERT_EQ(three.get_future().wait_for(5s), std::future_status::ready);
    timer->invalidate();
    ex.runAndWait([] {});
    const int after = ticks;
    std::this_thread::sleep_for(30ms);
    ex.runAndWait([] {});
    EXPECT_EQ(ticks, after);
}

// A task that throws is logged once and the thread goes on; runAndWait hands
// the exception to its caller instead of leaving it waiting.
TEST(AsioExecutor, AThrowingTaskIsLoggedAndTheThreadGoesOn) {
    LogCapture log;
    {
        AsioExecutor ex("test.throws");
        ex.post([] { throw std::runtime_error("boom"); });
        EXPECT_THROW(ex.runAndWait([] { throw std::runtime_error("to the caller"); }), std::runtime_error);
        std::atomic<bool> ran{false};
        ex.runAndWait([&] { ran = true; });
        EXPECT_TRUE(ran);
    }
    EXPECT_EQ(log.lines, (std::vector<std::string>{"exec: test.throws: a task failed: boom"}));
}

} // namespace
} // namespace hh
