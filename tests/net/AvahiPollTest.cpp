#include "core/exec/AsioExecutor.h"
#include "core/net/linux/AvahiPoll.h"

#include <gtest/gtest.h>

#include <cstring>
#include <chrono>
#include <future>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace hh {
namespace {

using namespace std::chrono_literals;

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
    void send(const char* bytes) { ASSERT_EQ(::write(fds[1], bytes, std::strlen(bytes)), ssize_t(std::strlen(bytes))); }

    AsioExecutor queue{"test.avahipoll"};
    std::unique_ptr<AsioAvahiPoll> poll;
    int fds[2] = {-1, -1};
};

// Reads one byte per callback; stops the test once `expected` bytes were read.
struct SlowReader {
    std::string read;
    std::size_t expected = 0;
    bool isOnExecutor = true;
    AsioExecutor* queue = nullptr;
    std::promise<void> done;
    AvahiWatchEvent events{};

    static void callback(AvahiWatch* watch, int fd, AvahiWatchEvent events, void* userdata) {
        auto* self = static_cast<SlowReader*>(userdata);
        self->isOnExecutor = self->isOnExecutor && self->queue->isCurrentThread();
        self->events = AvahiWatchEvent(self->events | events);
        (void)watch;
        char c;
        if (::read(fd, &c, 1) == 1) self->read += c;
        if (self->read.size() == self->expected) self->done.set_value();
    }
};

TEST_F(AvahiPollTest, WatchesAreLevelTriggeredAndRunOnTheExecutor) {
    // A callback that leaves data unread must be called again without new data
    // arriving: Avahi's D-Bus reader relies on it.
    SlowReader reader;
    reader.expected = 5;
    reader.queue = &queue;
    // A pipe: reading from it wakes nobody who waits to read, unlike a socket.
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    AvahiWatch* watch = nullptr;
    queue.runAndWait([&] { watch = api()->watch_new(api(), pipeFds[0], AVAHI_WATCH_IN, &SlowReader::callback, &reader); });
    ASSERT_NE(watch, nullptr);
    ASSERT_EQ(::write(pipeFds[1], "hello", 5), 5);
    ASSERT_EQ(reader.done.get_future().wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reader.read, "hello");
    EXPECT_TRUE(reader.isOnExecutor);
    EXPECT_EQ(reader.events, AVAHI_WATCH_IN);
    queue.runAndWait([&] { api()->watch_free(watch); });
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST_F(AvahiPollTest, TheSameDescriptorCanBeWatchedTwiceAndUpdated) {
    // D-Bus watches its socket once for reading and once for writing.
    SlowReader reader;
    reader.expected = 2;
    reader.queue = &queue;
    struct Writer {
        const AvahiPoll* api = nullptr;
        int count = 0;
        std::promise<void> done;
        static void callback(AvahiWatch* watch, int, AvahiWatchEvent events, void* userdata) {
            auto* self = static_cast<Writer*>(userdata);
            if (!(events & AVAHI_WATCH_OUT)) return;
            ++self->count;
            self->api->watch_update(watch, AvahiWatchEvent(0));  // queue drained
            self->done.set_value();
        }
    } writer;
    writer.api = api();
    AvahiWatch* in = nullptr;
    AvahiWatch* out = nullptr;
    queue.runAndWait([&] {
        in = api()->watch_new(api(), fds[0], AVAHI_WATCH_IN, &SlowReader::callback, &reader);
        out = api()->watch_new(api(), fds[0], AVAHI_WATCH_OUT, &Writer::callback, &writer);
    });
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(writer.done.get_future().wait_for(5s), std::future_status::ready);
    send("ab");
    ASSERT_EQ(reader.done.get_future().wait_for(5s), std::future_status::ready);
    queue.runAndWait([] {});  // anything still queued has run
    EXPECT_EQ(writer.count, 1) << "a watch switched off reports nothing more";
    EXPECT_EQ(api()->watch_get_events(out), AVAHI_WATCH_OUT);
    queue.runAndWait([&] {
        api()->watch_free(in);
        api()->watch_free(out);
    });
}

TEST_F(AvahiPollTest, AWatchMayFreeItselfInItsCallback) {
    struct SelfFreeing {
        const AvahiPoll* api;
        int calls = 0;
        static void callback(AvahiWatch* watch, int, AvahiWatchEvent, void* userdata) {
            auto* self = static_cast<SelfFreeing*>(userdata);
            ++self->calls;
            self->api->watch_free(watch);
        }
    } freeing{api()};
    queue.runAndWait([&] { api()->watch_new(api(), fds[0], AVAHI_WATCH_IN, &SelfFreeing::callback, &freeing); });
    send("xyz");  // never read: a watch still alive would be called again and again
    std::this_thread::sleep_for(100ms);
    queue.runAndWait([] {});
    EXPECT_EQ(freeing.calls, 1);
}

struct TimeoutLog {
    TimeoutLog(const AvahiPoll* api, AsioExecutor* queue) : api(api), queue(queue) {}
    const AvahiPoll* api;
    AsioExecutor* queue;
    std::vector<Executor::TimePoint> fired;
    int rearm = 0;  // times to set the timeout again from its own callback
    std::promise<void> done;
    std::size_t expected = 1;
    static void callback(AvahiTimeout* timeout, void* userdata) {
        auto* self = static_cast<TimeoutLog*>(userdata);
        self->fired.push_back(Executor::Clock::now());
        if (self->rearm-- > 0) {
            const timeval tv = wallClockIn(20ms);
            self->api->timeout_update(timeout, &tv);
        }
        if (self->fired.size() == self->expected) self->done.set_value();
    }
};

TEST_F(AvahiPollTest, TimeoutsFireOnceAtTheirTimeAndCanBeReset) {
    TimeoutLog log(api(), &queue);
    log.expected = 3;
    log.rearm = 2;
    const auto start = Executor::Clock::now();
    AvahiTimeout* timeout = nullptr;
    queue.runAndWait([&] {
        const timeval tv = wallClockIn(50ms);
        timeout = api()->timeout_new(api(), &tv, &TimeoutLog::callback, &log);
    });
    ASSERT_EQ(log.done.get_future().wait_for(5s), std::future_status::ready);
    std::this_thread::sleep_for(100ms);
    queue.runAndWait([&] {
        EXPECT_EQ(log.fired.size(), 3u) << "a fired timeout stays off until set again";
        EXPECT_GE(log.fired[0] - start, 45ms);
        EXPECT_GE(log.fired[2] - log.fired[0], 35ms);
        api()->timeout_free(timeout);
    });
}

TEST_F(AvahiPollTest, DisabledMovedAndFreedTimeoutsDoNotFire) {
    TimeoutLog disabled(api(), &queue), moved(api(), &queue), freed(api(), &queue);
    AvahiTimeout* a = nullptr;
    AvahiTimeout* b = nullptr;
    const auto start = Executor::Clock::now();
    queue.runAndWait([&] {
        const timeval soon = wallClockIn(10ms);
        const timeval later = wallClockIn(150ms);
        a = api()->timeout_new(api(), &soon, &TimeoutLog::callback, &disabled);
        api()->timeout_update(a, nullptr);
        b = api()->timeout_new(api(), &soon, &TimeoutLog::callback, &moved);
        api()->timeout_update(b, &later);
        api()->timeout_free(api()->timeout_new(api(), &soon, &TimeoutLog::callback, &freed));
        // A deadline already past fires at once; none set (null) never fires.
        api()->timeout_free(api()->timeout_new(api(), nullptr, &TimeoutLog::callback, &freed));
    });
    ASSERT_EQ(moved.done.get_future().wait_for(5s), std::future_status::ready);
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
