#include "core/net/linux/AvahiPoll.h"

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <unistd.h>

namespace hh {
namespace {

struct WatchState {
    WatchState(asio::io_context& context, int fd) : descriptor(context), fd(fd) {}

    // A duplicate of the watched descriptor: one file may be watched twice
    // (D-Bus watches its socket once for reading and once for writing), and epoll
    // takes each descriptor only once.
    asio::posix::stream_descriptor descriptor;
    int fd;
    AvahiWatchEvent events{};
    AvahiWatchCallback callback = nullptr;
    void* userdata = nullptr;
    AvahiWatch* watch = nullptr;
    AvahiWatchEvent lastEvents{};
    bool isFreed = false;
    bool isReadWaiting = false;
    bool isWriteWaiting = false;
};

struct TimeoutState {
    explicit TimeoutState(asio::io_context& context) : timer(context) {}

    asio::steady_timer timer;
    AvahiTimeoutCallback callback = nullptr;
    void* userdata = nullptr;
    AvahiTimeout* timeout = nullptr;
    std::uint64_t generation = 0;  // a completion of an older arming is stale
    bool isFreed = false;
};

} // namespace
} // namespace hh

// Avahi declares these as opaque structs in the global namespace.
struct AvahiWatch {
    std::shared_ptr<hh::WatchState> state;
};
struct AvahiTimeout {
    std::shared_ptr<hh::TimeoutState> state;
};

namespace hh {
namespace {

asio::io_context& contextOf(const AvahiPoll* api) {
    return static_cast<AsioAvahiPoll*>(api->userdata)->context();
}

// What the descriptor is ready for right now, of what is watched (a completed
// wait does not say which, and an update may have changed the watched events).
AvahiWatchEvent readyEvents(const WatchState& state) {
    pollfd p{state.fd, short(state.events & (AVAHI_WATCH_IN | AVAHI_WATCH_OUT)), 0};
    int n;
    do n = ::poll(&p, 1, 0);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return AvahiWatchEvent{};
    return AvahiWatchEvent(p.revents & (state.events | AVAHI_WATCH_ERR | AVAHI_WATCH_HUP));
}

void arm(const std::shared_ptr<WatchState>& state);

void dispatch(const std::shared_ptr<WatchState>& state) {
    if (state->isFreed) return;
    const AvahiWatchEvent ready = readyEvents(*state);
    if (ready) {
        state->lastEvents = ready;
        state->callback(state->watch, state->fd, ready, state->userdata);
    }
    if (!state->isFreed) arm(state);
}

void arm(const std::shared_ptr<WatchState>& state) {
    if (state->isFreed) return;
    // A new wait re-arms the descriptor in epoll, so one that is still ready is
    // reported again: Avahi expects level-triggered watches.
    auto wait = [&](asio::posix::descriptor_base::wait_type type, bool WatchState::*isWaiting) {
        if ((*state).*isWaiting) return;
        (*state).*isWaiting = true;
        state->descriptor.async_wait(type, [state, isWaiting](const std::error_code& ec) {
            (*state).*isWaiting = false;
            if (ec || state->isFreed) return;
            dispatch(state);
        });
    };
    if (state->events & AVAHI_WATCH_IN) wait(asio::posix::descriptor_base::wait_read, &WatchState::isReadWaiting);
    if (state->events & AVAHI_WATCH_OUT) wait(asio::posix::descriptor_base::wait_write, &WatchState::isWriteWaiting);
}

AvahiWatch* watchNew(const AvahiPoll* api, int fd, AvahiWatchEvent events, AvahiWatchCallback callback,
                     void* userdata) {
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return nullptr;
    auto state = std::make_shared<WatchState>(contextOf(api), fd);
    std::error_code ec;
    state->descriptor.assign(copy, ec);
    if (ec) {
        ::close(copy);
        return nullptr;
    }
    state->events = events;
    state->callback = callback;
    state->userdata = userdata;
    auto* watch = new AvahiWatch{state};
    state->watch = watch;
    arm(state);
    return watch;
}

void watchUpdate(AvahiWatch* watch, AvahiWatchEvent events) {
    watch->state->events = events;
    arm(watch->state);
}

AvahiWatchEvent watchGetEvents(AvahiWatch* watch) {
    // Only meaningful inside the callback: the events being delivered.
    return watch->state->lastEvents;
}

void watchFree(AvahiWatch* watch) {
    auto& state = *watch->state;
    state.isFreed = true;
    std::error_code ec;
    state.descriptor.close(ec);  // pending waits end with operation_aborted
    delete watch;
}

void timeoutSet(const std::shared_ptr<TimeoutState>& state, const struct timeval* tv) {
    ++state->generation;
    state->timer.cancel();
    if (!tv) return;
    // Avahi gives wall-clock deadlines; turn them into a delay on the steady clock.
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const std::int64_t micros =
        (std::int64_t(tv->tv_sec) - now.tv_sec) * 1'000'000 + (std::int64_t(tv->tv_usec) - now.tv_usec);
    state->timer.expires_after(std::chrono::microseconds(micros > 0 ? micros : 0));
    state->timer.async_wait([state, generation = state->generation](const std::error_code& ec) {
        if (ec || state->isFreed || generation != state->generation) return;
        ++state->generation;  // fired: disabled until set again
        state->callback(state->timeout, state->userdata);
    });
}

AvahiTimeout* timeoutNew(const AvahiPoll* api, const struct timeval* tv, AvahiTimeoutCallback callback,
                         void* userdata) {
    auto state = std::make_shared<TimeoutState>(contextOf(api));
    state->callback = callback;
    state->userdata = userdata;
    auto* timeout = new AvahiTimeout{state};
    state->timeout = timeout;
    timeoutSet(state, tv);
    return timeout;
}

void timeoutUpdate(AvahiTimeout* timeout, const struct timeval* tv) {
    timeoutSet(timeout->state, tv);
}

void timeoutFree(AvahiTimeout* timeout) {
    timeout->state->isFreed = true;
    timeout->state->timer.cancel();
    delete timeout;
}

} // namespace

AsioAvahiPoll::AsioAvahiPoll(asio::io_context& context) : context_(context) {
    api_.userdata = this;
    api_.watch_new = &watchNew;
    api_.watch_update = &watchUpdate;
    api_.watch_get_events = &watchGetEvents;
    api_.watch_free = &watchFree;
    api_.timeout_new = &timeoutNew;
    api_.timeout_update = &timeoutUpdate;
    api_.timeout_free = &timeoutFree;
}

} // namespace hh
