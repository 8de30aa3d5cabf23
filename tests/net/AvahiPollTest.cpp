#include "core/exec/AsioExecutor.h"
#include "core/net/linux/AvahiPoll.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <future>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace hh {
namespace {

using namespace std::chrono_literals;

// Avahi's C callbacks, forwarded to std::functions.
struct Watcher {
    std::function<void(AvahiWatch*, int, AvahiWatchEvent)> on;
    static void callback(AvahiWatch* w, int fd, AvahiWatchEvent e, void* self) { static_cast<Watcher*>(self)->on(w, fd, e); }
};
struct Timer {
    std::vector<Executor::TimePoint> fired;
    std::function<void(AvahiTimeout*)> on = [](AvahiTimeout*) {};
    static void callback(AvahiTimeout* t, void* userdata) {
        auto* self = static_cast<Timer*>(userdata);
        self->fired.push_back(Executor::Clock::now());
        self->on(t);
    }
};

timeval wallClockIn(std::chrono::milliseconds delay) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    const long long micros = tv.tv_usec + std::chrono::microseconds(delay).count();
    tv.tv_sec += micros / 1'000'000;
    tv.tv_usec = micros % 1'000'000;
    return tv;
}

// The adapter under test lives on an executor thread, as in the program; the test
// thread only waits for what the callbacks report.
class AvahiPollTest : public ::testing::Test {
protected:
    AvahiPollTest() {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        queue.runAndWait([this] { poll = std::make_unique<AsioAvahiPoll>(queue.context()); });
    }
    ~AvahiPollTest() override {
        queue.runAndWait([this] { poll.reset(); });
        ::close(fds[0]);
        ::close(fds[1]);
    }
    const AvahiPoll* api() { return poll->api(); }
    AvahiWatch* watch(int fd, AvahiWatchEvent events, Watcher& w) {
        AvahiWatch* made = nullptr;
        queue.runAndWait([&] { made = api()->watch_new(api(), fd, events, &Watcher::callback, &w); });
        EXPECT_NE(made, nullptr);
        return made;
    }
    // Reads one byte per call, leaving the rest for the next; done once `expected` were read.
    Watcher slowReader(std::string& read, std::size_t expected, std::promise<void>& done) {
        return {[&read, expected, &done, this](AvahiWatch*, int fd, AvahiWatchEvent events) {
            EXPECT_TRUE(queue.isCurrentThread());
            EXPECT_EQ(events, AVAHI_WATCH_IN);
            char c;
            if (::read(fd, &c, 1) == 1) read += c;
            if (read.size() == expected) done.set_value();
        }};
    }

    AsioExecutor queue{"test.avahipoll"};
    std::unique_ptr<AsioAvahiPoll> poll;
    int fds[2] = {-1, -1};
};

TEST_F(AvahiPollTest, WatchesAreLevelTriggeredAndRunOnTheExecutor) {
    // A callback that leaves data unread must be called again without new data
    // arriving: Avahi's D-Bus reader relies on it. A pipe: reading from it wakes
    // nobody who waits to read, unlike a socket.
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    std::string read;
    std::promise<void> done;
    auto reader = slowReader(read, 5, done);
    auto* w = watch(pipeFds[0], AVAHI_WATCH_IN, reader);
    ASSERT_EQ(::write(pipeFds[1], "hello", 5), 5);
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(read, "hello");
    queue.runAndWait([&] { api()->watch_free(w); });
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST_F(AvahiPollTest, TheSameDescriptorCanBeWatchedTwiceAndUpdated) {
    // D-Bus watches its socket once for reading and once for writing.
    std::string read;
    std::promise<void> readDone, writeDone;
    auto reader = slowReader(read, 2, readDone);
    int writes = 0;
    Watcher writer{[&](AvahiWatch* w, int, AvahiWatchEvent events) {
        if (!(events & AVAHI_WATCH_OUT)) return;
        if (++writes == 1) writeDone.set_value();
        api()->watch_update(w, AvahiWatchEvent(0));  // queue drained
    }};
    auto* in = watch(fds[0], AVAHI_WATCH_IN, reader);
    auto* out = watch(fds[0], AVAHI_WATCH_OUT, writer);
    ASSERT_EQ(writeDone.get_future().wait_for(5s), std::future_status::ready);
    ASSERT_EQ(::write(fds[1], "ab", 2), 2);
    ASSERT_EQ(readDone.get_future().wait_for(5s), std::future_status::ready);
    queue.runAndWait([&] {
        EXPECT_EQ(writes, 1) << "a watch switched off reports nothing more";
        EXPECT_EQ(api()->watch_get_events(out), AVAHI_WATCH_OUT);
        api()->watch_free(in);
        api()->watch_free(out);
    });
}

TEST_F(AvahiPollTest, AWatchMayFreeItselfInItsCallback) {
    int calls = 0;
    Watcher freeing{[&](AvahiWatch* w, int, AvahiWatchEvent) {
        ++calls;
        api()->watch_free(w);
    }};
    watch(fds[0], AVAHI_WATCH_IN, freeing);
    ASSERT_EQ(::write(fds[1], "xyz", 3), 3);  // never read: a watch still alive would be called again and again
    std::this_thread::sleep_for(100ms);
    queue.runAndWait([&] { EXPECT_EQ(calls, 1); });
}

TEST_F(AvahiPollTest, TimeoutsFireOnceAtTheirTimeAndCanBeReset) {
    Timer timer;
    std::promise<void> done;
    timer.on = [&](AvahiTimeout* t) {
        if (timer.fired.size() < 3) {
            const timeval tv = wallClockIn(20ms);
            api()->timeout_update(t, &tv);
        } else {
            done.set_value();
        }
    };
    const auto start = Executor::Clock::now();
    AvahiTimeout* timeout = nullptr;
    queue.runAndWait([&] {
        const timeval tv = wallClockIn(50ms);
        timeout = api()->timeout_new(api(), &tv, &Timer::callback, &timer);
    });
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    std::this_thread::sleep_for(100ms);
    queue.runAndWait([&] {
        EXPECT_EQ(timer.fired.size(), 3u) << "a fired timeout stays off until set again";
        EXPECT_GE(timer.fired[0] - start, 45ms);
        EXPECT_GE(timer.fired[2] - timer.fired[0], 35ms);
        api()->timeout_free(timeout);
    });
}

TEST_F(AvahiPollTest, DisabledMovedAndFreedTimeoutsDoNotFire) {
    Timer disabled, moved, freed;
    std::promise<void> done;
    moved.on = [&](AvahiTimeout*) { done.set_value(); };
    AvahiTimeout* a = nullptr;
    AvahiTimeout* b = nullptr;
    const auto start = Executor::Clock::now();
    queue.runAndWait([&] {
        const timeval soon = wallClockIn(10ms);
        const timeval later = wallClockIn(150ms);
        a = api()->timeout_new(api(), &soon, &Timer::callback, &disabled);
        api()->timeout_update(a, nullptr);
        b = api()->timeout_new(api(), &soon, &Timer::callback, &moved);
        api()->timeout_update(b, &later);
        api()->timeout_free(api()->timeout_new(api(), &soon, &Timer::callback, &freed));
        // A deadline already past fires at once; none set (null) never fires.
        api()->timeout_free(api()->timeout_new(api(), nullptr, &Timer::callback, &freed));
    });
    ASSERT_EQ(done.get_future().wait_for(5s), std::future_status::ready);
    queue.runAndWait([&] {
        EXPECT_GE(moved.fired.at(0) - start, 140ms) << "the earlier deadline was replaced";
        EXPECT_TRUE(disabled.fired.empty());
        EXPECT_TRUE(freed.fired.empty());
        api()->timeout_free(a);
        api()->timeout_free(b);
    });
}

} // namespace
} // namespace hh
