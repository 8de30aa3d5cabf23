#pragma once

#include <string>

namespace hh {

// Where the controller's connection stands. The words for it are chosen where
// they are shown (the panel, the CLI's JSON); the detail is the failure's own
// description, for the two error kinds only.
struct ConnectionState {
    enum class Kind { starting, connecting, onAir, stopped, networkError, audioError };
    Kind kind = Kind::starting;
    std::string detail;

    static ConnectionState networkError(std::string detail) { return {Kind::networkError, std::move(detail)}; }
    static ConnectionState audioError(std::string detail) { return {Kind::audioError, std::move(detail)}; }
    friend bool operator==(const ConnectionState&, const ConnectionState&) = default;
};

} // namespace hh
