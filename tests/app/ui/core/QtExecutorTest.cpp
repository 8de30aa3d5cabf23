#include "app/core/QtExecutor.h"

#include <QGuiApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace hh {
namespace {

class QtExecutorTest : public ::testing::Test {
protected:
    // Runs the event loop until `done` or two seconds have passed.
    template <class Predicate>
    bool spinUntil(Predicate done) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < 2000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        return done();
    }
};

TEST_F(QtExecutorTest, PostedTasksRunLaterInOrderOnTheMainThread) {
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
}

TEST_F(QtExecutorTest, TasksFromOtherThreadsRunOnTheMainThread) {
    QtExecutor executor;
    std::atomic<int> onMain{0};
    std::atomic<int> ran{0};
    QThread* main = QThread::currentThread();
    std::thread worker([&] {
        for (int i = 0; i < 100; ++i) {
            executor.post([&] {
                onMain += QThread::currentThread() == main;
                ++ran;
            });
        }
        executor.postAfter(seconds(0.01), [&] {
            onMain += QThread::currentThread() == main;
            ++ran;
        });
    });
    worker.join();
    ASSERT_TRUE(spinUntil([&] { return ran == 101; }));
    EXPECT_EQ(onMain, 101);
}

TEST_F(QtExecutorTest, DelayedTaskWaitsAtLeastItsDelay) {
    QtExecutor executor;
    const auto start = executor.now();
    Executor::TimePoint ranAt{};
    executor.postAfter(seconds(0.05), [&] { ranAt = executor.now(); });
    ASSERT_TRUE(spinUntil([&] { return ranAt != Executor::TimePoint{}; }));
    EXPECT_GE(ranAt - start, seconds(0.05));
}

TEST_F(QtExecutorTest, RepeatingTimerStopsWhenInvalidatedOrDestroyed) {
    QtExecutor executor;
    int ticks = 0;
    auto timer = executor.startRepeating(seconds(0.01), [&] { ++ticks; });
    ASSERT_TRUE(spinUntil([&] { return ticks >= 3; }));
    timer->invalidate();
    const int atStop = ticks;
    spinUntil([] { return false; }); // two seconds without ticks
    EXPECT_EQ(ticks, atStop);

    int other = 0;
    auto second = executor.startRepeating(seconds(0.01), [&] { ++other; });
    ASSERT_TRUE(spinUntil([&] { return other >= 1; }));
    second.reset();
    const int atReset = other;
    QTimer::singleShot(100, [] {});
    spinUntil([] { return false; });
    EXPECT_EQ(other, atReset);
}

TEST_F(QtExecutorTest, QueuedTasksDieWithTheExecutor) {
    bool ran = false;
    std::unique_ptr<Executor::RepeatingTimer> timer; // outlives the executor
    {
        QtExecutor executor;
        executor.post([&] { ran = true; });
        executor.postAfter(seconds(0.01), [&] { ran = true; });
        timer = executor.startRepeating(seconds(0.01), [&] { ran = true; });
    }
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 100)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_FALSE(ran);
    timer->invalidate(); // harmless after the executor is gone
}

} // namespace
} // namespace hh

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv); // the shell tests draw icons
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
