#pragma once

#include "core/exec/Executor.h"

#include <map>
#include <memory>
#include <mutex>

namespace hh {

// An executor on virtual time for deterministic tests: nothing runs until the
// test calls runUntilIdle() or advance(), and the clock moves only in advance().
// post() may be called from any thread; running happens on the caller's thread.
class ManualExecutor final : public Executor {
public:
    ManualExecutor();

    void post(Task task) override;
    void postAfter(Duration delay, Task task) override;
    std::unique_ptr<RepeatingTimer> startRepeating(Duration interval, Task task) override;
    TimePoint now() const override;

    // Runs every task that is due now, including tasks those tasks post.
    // Returns how many ran.
    std::size_t runUntilIdle();
    // Moves the clock forward by `d`, running due tasks in time order, each at
    // its own time.
    void advance(Duration d);
    std::size_t pendingCount() const;

private:
    bool runOneDue(TimePoint limit);

    mutable std::mutex mutex_;
    TimePoint now_;
    // By due time; tasks due at the same time run in the order they were posted
    // (a multimap inserts at the end of the equal range).
    std::multimap<TimePoint, Task> tasks_;
};

} // namespace hh
