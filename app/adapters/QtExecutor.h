#pragma once

#include "core/exec/Executor.h"

#include <QObject>
#include <QPointer>

namespace hh {

// The main executor on the Qt event loop: tasks run on the thread of the
// object it is built on (the main thread), in the order posted. post() and
// postAfter() may be called from any thread; tasks still queued when the
// executor is destroyed are dropped.
class QtExecutor final : public Executor {
public:
    QtExecutor();
    ~QtExecutor() override;

    QtExecutor(const QtExecutor&) = delete;
    QtExecutor& operator=(const QtExecutor&) = delete;

    void post(Task task) override;
    void postAfter(Duration delay, Task task) override;
    std::unique_ptr<RepeatingTimer> startRepeating(Duration interval, Task task) override;
    TimePoint now() const override { return Clock::now(); }

private:
    // Owned here, living on the main thread: queued calls and timers use it as
    // their context, so they die with it.
    QObject* context_;
};

} // namespace hh
