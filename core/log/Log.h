#pragma once

#include <atomic>
#include <sstream>
#include <string>
#include <string_view>

namespace hh {

// One log for the whole program: a line per message on stderr (which the
// journal collects in a desktop session), each with its level and the
// subsystem it comes from. HH_LOG=error|warning|info|debug sets how much is
// written; the default is info. Packet-level detail is debug only.
enum class LogLevel { error = 0, warning = 1, info = 2, debug = 3 };

struct LogCategory {
    std::string_view name;
};

// One category per subsystem.
namespace logcat {
inline constexpr LogCategory exec{"exec"};
inline constexpr LogCategory net{"net"};
inline constexpr LogCategory discovery{"discovery"};
inline constexpr LogCategory audio{"audio"};
inline constexpr LogCategory ptt{"ptt"};
inline constexpr LogCategory env{"env"};
inline constexpr LogCategory app{"app"};
inline constexpr LogCategory cli{"cli"};
} // namespace logcat

// The level from HH_LOG's value; `fallback` for anything else (also when unset).
LogLevel parseLogLevel(const char* text, LogLevel fallback = LogLevel::info);

// The process's level. The log is the one process-wide service, like stderr
// itself: it is read from HH_LOG on first use and can be set explicitly
// (tests, a command-line switch).
LogLevel logLevel();
void setLogLevel(LogLevel level);
inline bool isLogEnabled(LogLevel level) { return static_cast<int>(level) <= static_cast<int>(logLevel()); }

// Writes one whole line; safe from any thread.
void writeLog(LogCategory category, LogLevel level, std::string_view message);

// Where lines go instead of stderr (tests); null restores stderr. Not for use
// while other threads log.
using LogWriter = void (*)(LogCategory, LogLevel, std::string_view, void* context);
void setLogWriter(LogWriter writer, void* context);

// A failure that may repeat (a retry every 2 s, an error on every packet):
// logged once when it starts, again only if its description changes, and once
// when it ends. Owned by the component that retries; not thread-safe.
class FailureLog {
public:
    FailureLog(LogCategory category, std::string what, LogLevel level = LogLevel::warning)
        : category_(category), what_(std::move(what)), level_(level) {}

    // The operation failed with `detail`.
    void failed(std::string_view detail);
    // The operation worked; ends a failure that was logged.
    void succeeded();
    bool isFailing() const { return isFailing_; }

private:
    LogCategory category_;
    std::string what_;
    LogLevel level_;
    bool isFailing_ = false;
    std::string lastDetail_;
};

} // namespace hh

// HH_LOG_INFO(logcat::net, "joined " << group): the message is only formatted
// when its level is written.
#define HH_LOG_AT(level, category, message)                                       \
    do {                                                                          \
        if (::hh::isLogEnabled(level)) {                                          \
            std::ostringstream hhLogStream_;                                      \
            hhLogStream_ << message;                                              \
            ::hh::writeLog(category, level, hhLogStream_.str());                  \
        }                                                                         \
    } while (false)
#define HH_LOG_ERROR(category, message) HH_LOG_AT(::hh::LogLevel::error, category, message)
#define HH_LOG_WARNING(category, message) HH_LOG_AT(::hh::LogLevel::warning, category, message)
#define HH_LOG_INFO(category, message) HH_LOG_AT(::hh::LogLevel::info, category, message)
#define HH_LOG_DEBUG(category, message) HH_LOG_AT(::hh::LogLevel::debug, category, message)
