#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace hh {

// A serial executor: tasks posted to it run one at a time, in order. Components
// keep all their state on one of these, so they need no locks. The same code runs
// on an Asio thread, on the Qt event loop, or on a virtual clock in tests.
class Executor {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;
    using Duration = std::chrono::nanoseconds;
    using Task = std::function<void()>;

    // Stops its repeating task when invalidated or destroyed.
    class RepeatingTimer {
    public:
        virtual ~RepeatingTimer() = default;
        virtual void invalidate() = 0;
    };

    virtual ~Executor() = default;

    // Runs `task` soon, after every task posted before it.
    virtual void post(Task task) = 0;
    // Runs `task` once, `delay` from now. Not cancellable: tasks capture weak
    // references and check their owner's state when they run.
    virtual void postAfter(Duration delay, Task task) = 0;
    // Runs `task` every `interval`, the first time one interval from now.
    virtual std::unique_ptr<RepeatingTimer> startRepeating(Duration interval, Task task) = 0;
    // Monotonic time of this executor's clock.
    virtual TimePoint now() const = 0;
};

// Seconds as an executor duration, for constants given in seconds.
constexpr Executor::Duration seconds(double s) {
    return std::chrono::duration_cast<Executor::Duration>(std::chrono::duration<double>(s));
}

} // namespace hh
