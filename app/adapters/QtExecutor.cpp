#include "app/adapters/QtExecutor.h"

#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <chrono>

namespace hh {

namespace {

class QtRepeatingTimer final : public Executor::RepeatingTimer {
public:
    QtRepeatingTimer(QObject* context, Executor::Duration interval, Executor::Task task) : timer_(new QTimer(context)) {
        timer_->setTimerType(Qt::PreciseTimer);
        timer_->setInterval(std::chrono::duration_cast<std::chrono::milliseconds>(interval));
        QObject::connect(timer_, &QTimer::timeout, timer_, std::move(task));
        timer_->start();
    }
    ~QtRepeatingTimer() override { invalidate(); }
    // Must be called on the main thread, like everything the timer's owner does.
    void invalidate() override {
        if (timer_) {
            timer_->stop();
            timer_->deleteLater();
            timer_ = nullptr;
        }
    }

private:
    // Guarded: the executor's context deletes the timer if it goes first.
    QPointer<QTimer> timer_;
};

std::chrono::milliseconds toMilliseconds(Executor::Duration d) {
    // Round up, so a task never runs before its time.
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(d);
    return ms.count() < 0 ? std::chrono::milliseconds(0) : ms;
}

} // namespace

QtExecutor::QtExecutor() : context_(new QObject) {}

QtExecutor::~QtExecutor() {
    delete context_;
}

void QtExecutor::post(Task task) {
    // Queued even on the main thread: a posted task never runs inside its poster.
    QMetaObject::invokeMethod(context_, std::move(task), Qt::QueuedConnection);
}

void QtExecutor::postAfter(Duration delay, Task task) {
    if (QThread::currentThread() == context_->thread()) {
        QTimer::singleShot(toMilliseconds(delay), Qt::PreciseTimer, context_, std::move(task));
        return;
    }
    // QTimer needs the main thread: hop there first, then wait.
    QPointer<QObject> context = context_;
    QMetaObject::invokeMethod(
        context_,
        [context, delay, task = std::move(task)]() mutable {
            if (context)
                QTimer::singleShot(toMilliseconds(delay), Qt::PreciseTimer, context, std::move(task));
        },
        Qt::QueuedConnection);
}

std::unique_ptr<Executor::RepeatingTimer> QtExecutor::startRepeating(Duration interval, Task task) {
    return std::make_unique<QtRepeatingTimer>(context_, interval, std::move(task));
}

} // namespace hh
