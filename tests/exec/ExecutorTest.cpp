#include "core/exec/AsioExecutor.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <vector>

namespace hh {
namespace {

using namespace std::chrono_literals;

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
