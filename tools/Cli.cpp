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


bool isValidUtf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t extra;
        std::uint32_t cp;
        if (c < 0x80) { ++i; continue; }
        if ((c & 0xE0) == 0xC0) { extra = 1; cp = c & 0x1F; }
        else if ((c & 0xF0) == 0xE0) { extra = 2; cp = c & 0x0F; }
        else if ((c & 0xF8) == 0xF0) { extra = 3; cp = c & 0x07; }
        else return false;
        if (i + extra >= s.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = cp << 6 | (d & 0x3F);
        }
        static constexpr std::uint32_t minimum[] = {0, 0x80, 0x800, 0x10000};
        if (cp < minimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
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

} // namespace hh::cli
