// The poll adapter against a real io_context, for what the labs' real Avahi
// client would show only by chance: level-triggered watches, and a watch that
// frees itself in its callback.
#include "core/exec/AsioExecutor.h"
#include "core/net/linux/AvahiPoll.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <future>
#include <string>
#include <thread>
#include <unistd.h>

namespace hh {
namespace {

using namespace std::chrono_literals;

// The adapter lives on an executor thread, as in the program; the test thread
// only waits for what the callbacks report.
class AvahiPollTest : public ::testing::Test {
protected:
    AvahiPollTest() { queue.runAndWait([this] { poll = std::make_unique<AsioAvahiPoll>(queue.context()); }); }
    ~AvahiPollTest() override { queue.runAndWait([this] { poll.reset(); }); }
    const AvahiPoll* api() { return poll->api(); }

    AsioExecutor queue{"test.avahipoll"};
    std::unique_ptr<AsioAvahiPoll> poll;
};

TEST_F(AvahiPollTest, WatchesAreLevelTriggeredAndMayFreeThemselves) {
    // A callback that leaves data unread must be called again without new data
    // arriving: Avahi's D-Bus reader relies on it. A pipe: reading from it wakes
    // nobody who waits to read, unlike a socket.
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    struct Reader {
        std::string read;
        std::promise<void> done;
        const AvahiPoll* api;
    } reader{{}, {}, api()};
    // One byte a call; after the third the watch frees itself, with two bytes
    // still unread: a watch still alive would be called again and again.
    auto callback = [](AvahiWatch* w, int fd, AvahiWatchEvent events, void* userdata) {
        auto& self = *static_cast<Reader*>(userdata);
        EXPECT_EQ(events, AVAHI_WATCH_IN);
        char c;
        if (::read(fd, &c, 1) == 1) self.read += c;
        if (self.read.size() < 3) return;
        self.api->watch_free(w);
        self.done.set_value();
    };
    queue.runAndWait([&] { api()->watch_new(api(), fds[0], AVAHI_WATCH_IN, callback, &reader); });
    ASSERT_EQ(::write(fds[1], "hello", 5), 5);
    ASSERT_EQ(reader.done.get_future().wait_for(5s), std::future_status::ready);
    std::this_thread::sleep_for(100ms);
    queue.runAndWait([&] { EXPECT_EQ(reader.read, "hel"); });
    ::close(fds[0]);
    ::close(fds[1]);
}

} // namespace
} // namespace hh
