#include "support/ManualExecutor.h"

namespace hh {

ManualExecutor::ManualExecutor() : now_(TimePoint{} + std::chrono::hours(1)) {}

void ManualExecutor::post(Task task) {
    std::lock_guard lock(mutex_);
    tasks_.emplace(now_, std::move(task));
}

void ManualExecutor::postAfter(Duration delay, Task task) {
    std::lock_guard lock(mutex_);
    tasks_.emplace(now_ + delay, std::move(task));
}

namespace {

struct ManualTimerState {
    bool isValid = true;
};

class ManualTimer final : public Executor::RepeatingTimer {
public:
    explicit ManualTimer(std::shared_ptr<ManualTimerState> state) : state_(std::move(state)) {}
    ~ManualTimer() override { invalidate(); }
    void invalidate() override { state_->isValid = false; }

private:
    std::shared_ptr<ManualTimerState> state_;
};

} // namespace

std::unique_ptr<Executor::RepeatingTimer> ManualExecutor::startRepeating(Duration interval, Task task) {
    auto state = std::make_shared<ManualTimerState>();
    // Each tick re-arms itself one interval after its own due time, like a
    // run-loop timer that does not drift.
    auto tick = std::make_shared<std::function<void(TimePoint)>>();
    *tick = [this, state, interval, task = std::move(task), weakTick = std::weak_ptr(tick)](TimePoint due) {
        if (!state->isValid) return;
        task();
        if (!state->isValid) return;
        auto self = weakTick.lock();
        if (!self) return;
        std::lock_guard lock(mutex_);
        const TimePoint next = due + interval;
        tasks_.emplace(next, [self, next] { (*self)(next); });
    };
    {
        std::lock_guard lock(mutex_);
        const TimePoint first = now_ + interval;
        tasks_.emplace(first, [tick, first] { (*tick)(first); });
    }
    return std::make_unique<ManualTimer>(std::move(state));
}

Executor::TimePoint ManualExecutor::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

bool ManualExecutor::runOneDue(TimePoint limit) {
    Task task;
    {
        std::lock_guard lock(mutex_);
        if (tasks_.empty() || tasks_.begin()->first > limit) return false;
        auto it = tasks_.begin();
        if (it->first > now_) now_ = it->first;
        task = std::move(it->second);
        tasks_.erase(it);
    }
    task();
    return true;
}

std::size_t ManualExecutor::runUntilIdle() {
    std::size_t count = 0;
    while (runOneDue(now())) ++count;
    return count;
}

void ManualExecutor::advance(Duration d) {
    const TimePoint target = now() + d;
    while (runOneDue(target)) {
    }
    std::lock_guard lock(mutex_);
    now_ = target;
}

std::size_t ManualExecutor::pendingCount() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

} // namespace hh
