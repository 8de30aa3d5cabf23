#pragma once

#include <string>

namespace hh {

// Where the controller's connection stands. The words for it are chosen where
// they are shown (the panel, the CLI's JSON); the detail is the failure's own
// description, for the two error kinds only. Ready: joined and able to talk,
// not transmitting.
struct ConnectionState {
    enum class Kind { starting, connecting, ready, stopped, noNetwork, networkError, audioError };
    Kind kind = Kind::starting;
    std::string detail;

    static ConnectionState networkError(std::string detail) { return {Kind::networkError, std::move(detail)}; }
    static ConnectionState audioError(std::string detail) { return {Kind::audioError, std::move(detail)}; }
    friend bool operator==(const ConnectionState&, const ConnectionState&) = default;
};

// Why a press did not go on air: nothing was sent. The detail is the audio
// failure's own description, for `audio` only.
struct TalkFailure {
    enum class Kind { audio, noMicrophone, noNetwork, notConnected };
    Kind kind = Kind::notConnected;
    std::string detail;
    friend bool operator==(const TalkFailure&, const TalkFailure&) = default;
};

} // namespace hh
