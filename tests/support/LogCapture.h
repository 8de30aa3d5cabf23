#pragma once

#include "core/log/Log.h"

#include <string>
#include <vector>

namespace hh {

// Collects what is logged while it lives, one "category: message" a line, and
// gives the log back to stderr when it goes (also when an assertion ends the test).
struct LogCapture {
    LogCapture() {
        setLogWriter([](LogCategory category, LogLevel, std::string_view message, void* self) {
            static_cast<LogCapture*>(self)->lines.push_back(std::string(category.name) + ": " + std::string(message));
        }, this);
    }
    ~LogCapture() { setLogWriter(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines;
};

} // namespace hh
