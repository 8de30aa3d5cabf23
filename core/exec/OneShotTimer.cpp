#include "core/exec/OneShotTimer.h"

#include <algorithm>

namespace hh {

OneShotTimer::OneShotTimer(Executor& executor, Executor::Task onDue)
    : executor_(executor), state_(std::make_shared<State>()) {
    state_->onDue = std::move(onDue);
}

OneShotTimer::~OneShotTimer() { cancel(); }

void OneShotTimer::runAt(Executor::TimePoint at) {
    const auto generation = ++state_->generation;
    state_->isPending = true;
    const auto delay = std::max(Executor::Duration::zero(), at - executor_.now());
    // Not cancellable on the executor: an outdated run finds another generation.
    executor_.postAfter(delay, [weak = std::weak_ptr<State>(state_), generation] {
        auto state = weak.lock();
        if (!state || state->generation != generation) return;
        state->isPending = false;
        state->onDue();
    });
}

void OneShotTimer::cancel() {
    ++state_->generation;
    state_->isPending = false;
}

bool OneShotTimer::isPending() const { return state_->isPending; }

} // namespace hh
