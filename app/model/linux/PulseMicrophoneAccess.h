#pragma once

#include "app/model/PermissionPlatform.h"

#include <chrono>
#include <string>

namespace hh {

// Microphone access on a PulseAudio (or PipeWire-Pulse) desktop. There is no
// prompt: access is granted when the sound server has a default input that is
// a real source (not a sink's monitor) and a record stream on it opens;
// denied when the server refuses us or the input cannot be opened; noDevice
// when it has no input; unavailable while the server cannot be reached. Each status() is a
// short exchange with the server on the calling thread, bounded by `timeout`.
class PulseMicrophoneAccess final : public MicrophoneAccess {
public:
    // `server`: a PulseAudio server address, or empty for the usual one
    // (PULSE_SERVER, the client configuration, the user's runtime directory).
    explicit PulseMicrophoneAccess(std::string server = {},
                                   std::chrono::milliseconds timeout = std::chrono::milliseconds(2000));

    MicrophoneAuthorization status() override;
    // Nothing to ask: answers with a fresh check, at once.
    void requestAccess(std::function<void(bool isGranted)> completion) override;

private:
    std::string server_;
    std::chrono::milliseconds timeout_;
};

} // namespace hh
