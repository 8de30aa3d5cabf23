#include "tools/Cli.h"

#include <csignal>
#include <iostream>
#include <pthread.h>

namespace hh::cli {

namespace {
void printLine(const std::string& line) {
    static std::mutex outputMutex;  // one line at a time from any thread
    std::lock_guard lock(outputMutex);
    std::cout << line << '\n' << std::flush;
}
} // namespace

void printJsonLine(const Json& object) {
    printLine(object.dump(-1, ' ', false, Json::error_handler_t::replace));
}


namespace {
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);  // wakes the signal thread when closing
    return set;
}
} // namespace

StopSignal::StopSignal() {
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signalThread_ = std::thread([this, set] {
        for (;;) {
            int sig = 0;
            if (sigwait(&set, &sig) != 0) continue;
            std::lock_guard lock(mutex_);
            if (isClosing_) return;
            if (sig == SIGUSR1) continue;
            isRequested_ = true;
            changed_.notify_all();
        }
    });
}

StopSignal::~StopSignal() {
    {
        std::lock_guard lock(mutex_);
        isClosing_ = true;
    }
    pthread_kill(signalThread_.native_handle(), SIGUSR1);
    signalThread_.join();
}

void StopSignal::request() {
    std::lock_guard lock(mutex_);
    isRequested_ = true;
    changed_.notify_all();
}

bool StopSignal::isRequested() const {
    std::lock_guard lock(mutex_);
    return isRequested_;
}

bool StopSignal::wait(std::optional<std::chrono::duration<double>> timeout) {
    std::unique_lock lock(mutex_);
    if (!timeout) {
        changed_.wait(lock, [this] { return isRequested_; });
        return true;
    }
    return changed_.wait_for(lock, *timeout, [this] { return isRequested_; });
}

bool StopSignal::waitUntil(const std::function<bool()>& isDone, std::chrono::duration<double> timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return isRequested_ || isDone(); });
    return isDone();
}

void StopSignal::wake() {
    std::lock_guard lock(mutex_);
    changed_.notify_all();
}

} // namespace hh::cli
