#pragma once

#include <functional>

namespace hh {

// The platform's microphone authorization, with the values such platforms use.
// Any value outside the four known ones (`unavailable` among them: the platform
// could not answer yet) means "unknown" to the model.
enum class MicrophoneAuthorization : int {
    unavailable = -1,
    notDetermined = 0,
    restricted = 1,
    denied = 2,
    authorized = 3,
};

class MicrophoneAccess {
public:
    virtual ~MicrophoneAccess() = default;
    // The current authorization, read when asked.
    virtual MicrophoneAuthorization status() = 0;
    // Asks for access (a prompt where the platform has one). `completion` runs
    // once, later or at once, on any thread.
    virtual void requestAccess(std::function<void(bool isGranted)> completion) = 0;
};

} // namespace hh
