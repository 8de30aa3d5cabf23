#include "core/log/Log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unistd.h>

namespace hh {

namespace {

// The process-wide switch; see logLevel().
struct LogState {
    std::atomic<int> level{static_cast<int>(parseLogLevel(std::getenv("HH_LOG")))};
    std::mutex writerMutex;
    LogWriter writer = nullptr;
    void* context = nullptr;
};

LogState& state() {
    static LogState instance;
    return instance;
}

const char* levelName(LogLevel level) {
    switch (level) {
    case LogLevel::error: return "error";
    case LogLevel::warning: return "warning";
    case LogLevel::info: return "info";
    case LogLevel::debug: return "debug";
    }
    return "?";
}

} // namespace

LogLevel parseLogLevel(const char* text, LogLevel fallback) {
    if (text == nullptr) return fallback;
    if (std::strcmp(text, "error") == 0) return LogLevel::error;
    if (std::strcmp(text, "warning") == 0) return LogLevel::warning;
    if (std::strcmp(text, "info") == 0) return LogLevel::info;
    if (std::strcmp(text, "debug") == 0) return LogLevel::debug;
    return fallback;
}

LogLevel logLevel() { return static_cast<LogLevel>(state().level.load(std::memory_order_relaxed)); }

void setLogLevel(LogLevel level) { state().level.store(static_cast<int>(level), std::memory_order_relaxed); }

void setLogWriter(LogWriter writer, void* context) {
    std::lock_guard lock(state().writerMutex);
    state().writer = writer;
    state().context = context;
}

void writeLog(LogCategory category, LogLevel level, std::string_view message) {
    auto& s = state();
    {
        std::lock_guard lock(s.writerMutex);
        if (s.writer != nullptr) {
            s.writer(category, level, message, s.context);
            return;
        }
    }
    // One write per line, so lines from several threads never interleave.
    std::string line = "hollerhopper: ";
    line += levelName(level);
    line += ' ';
    line += category.name;
    line += ": ";
    line += message;
    line += '\n';
    std::size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
}

void FailureLog::failed(std::string_view detail) {
    if (isFailing_ && detail == lastDetail_) return;
    isFailing_ = true;
    lastDetail_ = detail;
    HH_LOG_AT(level_, category_, what_ << ": " << detail);
}

void FailureLog::succeeded() {
    if (!isFailing_) return;
    isFailing_ = false;
    lastDetail_.clear();
    HH_LOG_INFO(category_, what_ << ": working again");
}

} // namespace hh
