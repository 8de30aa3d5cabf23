#pragma once

#include <functional>

namespace hh {

// The platform's microphone authorization, with the values such platforms use,
// and `unavailable` (the platform could not answer: no sound server) and
// `noDevice` (it answers, but has no input to record from), where nothing
// needs granting. Any other value means "unknown" to the model.
enum class MicrophoneAuthorization : int {
    unavailable = -1,
    notDetermined = 0,
    restricted = 1,
    denied = 2,
    authorized = 3,
    noDevice = 4,
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
