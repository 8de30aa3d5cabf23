#include "app/adapters/QtExecutor.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace hh {
namespace {

// Runs the event loop until `done` or `ms` milliseconds have passed.
template <class Predicate>
bool spinUntil(Predicate done, int ms = 2000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    return done();
}

TEST(QtExecutorTest, TasksRunLaterInOrderOnTheMainThreadFromAnyThread) {
    QtExecutor executor;
    std::vector<int> order;
    executor.post([&] {
        order.push_back(1);
        executor.post([&] { order.push_back(3); });
    });
    executor.post([&] { order.push_back(2); });
    EXPECT_TRUE(order.empty()) << "a posted task must not run inside post()";
    ASSERT_TRUE(spinUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    std::atomic<int> onMain{0}, ran{0};
    QThread* main = QThread::currentThread();
    const auto task = [&] {
        onMain += QThread::currentThread() == main;
        ++ran;
    };
    const auto start = executor.now();
    Executor::TimePoint delayedAt{};
    std::thread([&] {
        for (int i = 0; i < 100; ++i)
            executor.post(task);
        executor.postAfter(seconds(0.05), [&] {
            task();
            delayedAt = executor.now();
        });
    }).join();
    ASSERT_TRUE(spinUntil([&] { return ran == 101; }));
    EXPECT_EQ(onMain, 101);
    EXPECT_GE(delayedAt - start, seconds(0.05));
}

TEST(QtExecutorTest, RepeatingTimerStopsWhenInvalidatedQueuedTasksDieWithTheExecutor) {
    QtExecutor executor;
    int ticks = 0;
    auto timer = executor.startRepeating(seconds(0.01), [&] { ++ticks; });
    ASSERT_TRUE(spinUntil([&] { return ticks >= 3; }));
    timer->invalidate();
    const int atStop = ticks;
    spinUntil([] { return false; }, 300);
    EXPECT_EQ(ticks, atStop);

    bool ran = false;
    std::unique_ptr<Executor::RepeatingTimer> orphan; // outlives its executor
    {
        QtExecutor doomed;
        doomed.post([&] { ran = true; });
        doomed.postAfter(seconds(0.01), [&] { ran = true; });
        orphan = doomed.startRepeating(seconds(0.01), [&] { ran = true; });
    }
    spinUntil([] { return false; }, 100);
    EXPECT_FALSE(ran);
    orphan->invalidate(); // harmless after the executor is gone
}

} // namespace
} // namespace hh

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv); // the shell tests draw icons
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
