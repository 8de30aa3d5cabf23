#pragma once

#include "core/exec/Executor.h"

#include <cstdint>
#include <memory>

namespace hh {

// Runs `onDue` once at a set time on an executor; setting it again moves it.
// For checks that matter only while something is going on (a talker's time-out),
// so an idle program has no timer waking it. Use it on its executor's thread;
// it may be destroyed anywhere, and a pending run then does nothing.
class OneShotTimer {
public:
    OneShotTimer(Executor& executor, Executor::Task onDue);
    ~OneShotTimer();
    OneShotTimer(const OneShotTimer&) = delete;
    OneShotTimer& operator=(const OneShotTimer&) = delete;

    void runAt(Executor::TimePoint at);
    void cancel();
    bool isPending() const;

private:
    struct State {
        Executor::Task onDue;
        std::uint64_t generation = 0;
        bool isPending = false;
    };
    Executor& executor_;
    std::shared_ptr<State> state_;
};

} // namespace hh
