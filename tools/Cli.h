#pragma once

// What every subcommand of hollerhopper-cli shares: JSON lines on stdout and a
// clean stop on SIGINT/SIGTERM, after N seconds, or when the command says so.

#include "core/wire/Utf8.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

namespace hh::cli {

// Prints one JSON object as one line and flushes it at once. Safe from any
// thread. Invalid UTF-8 in strings is replaced, so the line is always valid JSON.
using Json = nlohmann::ordered_json;
void printJsonLine(const Json& object);

using hh::isValidUtf8;

// Blocks SIGINT and SIGTERM for the whole process (construct it in main before
// any thread starts) and turns them into a stop request.
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Ask the waiter to return; from any thread.
    void request();
    bool isRequested() const;
    // Waits until a signal or request(), or until `timeout` passes (none: no limit).
    // Returns true when stopped by a signal or request, false on time-out.
    bool wait(std::optional<std::chrono::duration<double>> timeout = std::nullopt);
    // Waits until `isDone` holds, a stop is requested, or `timeout` passes;
    // returns isDone(). `isDone` is checked again at each wake(), which whoever
    // changes what it reads calls afterwards (not holding a lock `isDone` takes).
    bool waitUntil(const std::function<bool()>& isDone, std::chrono::duration<double> timeout);
    void wake();

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool isRequested_ = false;
    bool isClosing_ = false;
    std::thread signalThread_;
};

} // namespace hh::cli
