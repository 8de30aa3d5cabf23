#include "core/exec/AsioExecutor.h"

#include "core/log/Log.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <future>
#include <pthread.h>

namespace hh {

AsioExecutor::AsioExecutor(std::string label)
    : label_(std::move(label)), work_(asio::make_work_guard(context_)) {
    thread_ = std::thread([this] {
        const std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
        pthread_setname_np(pthread_self(), name.c_str());
        // A task that throws is logged and the thread goes on with the next one:
        // one broken handler must not end the process.
        for (;;) {
            try {
                context_.run();
                return;
            } catch (const std::exception& e) {
                HH_LOG_ERROR(logcat::exec, label_ << ": a task failed: " << e.what());
            } catch (...) {
                HH_LOG_ERROR(logcat::exec, label_ << ": a task failed");
            }
        }
    });
}

AsioExecutor::~AsioExecutor() {
    work_.reset();
    context_.stop();
    if (thread_.joinable()) {
        if (isCurrentThread())
            thread_.detach();  // destroyed by one of its own tasks: let the thread unwind
        else
            thread_.join();
    }
}

void AsioExecutor::post(Task task) {
    asio::post(context_, std::move(task));
}

void AsioExecutor::postAfter(Duration delay, Task task) {
    auto timer = std::make_shared<asio::steady_timer>(context_, delay);
    timer->async_wait([timer, task = std::move(task)](const std::error_code& ec) {
        if (!ec) task();
    });
}

namespace {

class AsioRepeatingTimer final : public Executor::RepeatingTimer,
                                 public std::enable_shared_from_this<AsioRepeatingTimer> {
public:
    AsioRepeatingTimer(asio::io_context& context, Executor::Duration interval, Executor::Task task)
        : timer_(context), interval_(interval), task_(std::move(task)) {}

    void arm(Executor::TimePoint from) {
        next_ = from + interval_;
        timer_.expires_at(next_);
        timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
            auto self = weak.lock();
            if (ec || !self || self->cancelled_) return;
            self->task_();
            if (!self->cancelled_) self->arm(self->next_);
        });
    }

    // Cancelling is posted to the timer's own thread so the timer object is only
    // touched there.
    void invalidate() override {
        asio::post(timer_.get_executor(), [self = shared_from_this()] {
            self->cancelled_ = true;
            self->timer_.cancel();
        });
    }

private:
    asio::steady_timer timer_;
    Executor::Duration interval_;
    Executor::Task task_;
    Executor::TimePoint next_{};
    bool cancelled_ = false;
};

// The handle the caller owns; dropping it stops the timer.
class TimerHandle final : public Executor::RepeatingTimer {
public:
    explicit TimerHandle(std::shared_ptr<AsioRepeatingTimer> timer) : timer_(std::move(timer)) {}
    ~TimerHandle() override { invalidate(); }
    void invalidate() override {
        if (timer_) timer_->invalidate();
        timer_.reset();
    }

private:
    std::shared_ptr<AsioRepeatingTimer> timer_;
};

} // namespace

std::unique_ptr<Executor::RepeatingTimer> AsioExecutor::startRepeating(Duration interval, Task task) {
    auto timer = std::make_shared<AsioRepeatingTimer>(context_, interval, std::move(task));
    asio::post(context_, [timer, start = Clock::now()] { timer->arm(start); });
    return std::make_unique<TimerHandle>(std::move(timer));
}

void AsioExecutor::runAndWait(Task task) {
    std::promise<void> done;
    asio::post(context_, [&] {
        try {
            task();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());  // the caller's to handle, not the thread's
        }
    });
    done.get_future().get();
}

} // namespace hh
