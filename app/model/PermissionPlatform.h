#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

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

// What a local-network probe reports: the states of a DNS-SD browser.
struct LocalNetworkProbeState {
    enum class Kind { setup, ready, waiting, failed, cancelled };

    // DNS-SD error codes the model and the fallback care about.
    static constexpr std::int32_t policyDenied = -65570;
    static constexpr std::int32_t daemonNotRunning = -65563;

    Kind kind = Kind::setup;
    // With `waiting` and `failed`: the DNS-SD error code, when the error is one.
    std::optional<std::int32_t> dnsSdError;

    bool operator==(const LocalNetworkProbeState&) const = default;
};

// A running check of local-network access: on the real platform a DNS-SD
// browser for our own service type whose results are never read. Adapting a
// browser means forwarding its state handler to `onState` and its cancel().
class LocalNetworkProbe {
public:
    virtual ~LocalNetworkProbe() = default;

    // Each state report, on any thread. Assigned before start().
    std::function<void(LocalNetworkProbeState)> onState;

    virtual void start() = 0;
    // Stops the probe; no report follows once it returns.
    virtual void cancel() = 0;
};

// Makes a new, not yet started probe; called by each refresh.
using LocalNetworkProbeFactory = std::function<std::unique_ptr<LocalNetworkProbe>()>;

} // namespace hh
