#pragma once

#include "core/exec/Executor.h"

#include <asio/io_context.hpp>
#include <asio/executor_work_guard.hpp>

#include <string>
#include <thread>

namespace hh {

// A serial executor with a thread of its own running an io_context. Platform
// objects built on Asio (sockets, netlink) are created on `context()`, so their
// handlers run on the same thread as the owning component's tasks.
class AsioExecutor final : public Executor {
public:
    // `label` names the thread (the kernel keeps the last 15 characters).
    explicit AsioExecutor(std::string label);
    ~AsioExecutor() override;  // stops the thread; pending tasks are dropped

    AsioExecutor(const AsioExecutor&) = delete;
    AsioExecutor& operator=(const AsioExecutor&) = delete;

    void post(Task task) override;
    void postAfter(Duration delay, Task task) override;
    std::unique_ptr<RepeatingTimer> startRepeating(Duration interval, Task task) override;
    TimePoint now() const override { return Clock::now(); }

    asio::io_context& context() { return context_; }
    const std::string& label() const { return label_; }
    bool isCurrentThread() const { return std::this_thread::get_id() == thread_.get_id(); }

    // Runs `task` on the executor and waits for it; for shutdown paths and tests
    // only. Must not be called from the executor's own thread.
    void runAndWait(Task task);

private:
    std::string label_;
    asio::io_context context_{1};
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
};

} // namespace hh
