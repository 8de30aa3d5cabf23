#pragma once

#include "core/ptt/key/KeyChord.h"

#include <functional>
#include <string>
#include <thread>

namespace hh {

// A push-to-talk key held anywhere on an X11 display: a passive grab of the
// chord on the root window (also with Caps Lock and Num Lock on), XKB's
// detectable auto-repeat so a held key is one press, and a check of the
// keyboard's real state while held, so a release that never reaches us (the
// grab broken, the key let go while another client grabbed the keyboard)
// still ends the hold within half a second. A lost connection ends it at once.
//
// Runs on a thread of its own with its own X connection; every callback is
// called on that thread, and the owner hops to wherever it keeps its state.
class X11KeyGrab {
public:
    enum class Status {
        grabbed,        // the key works
        conflict,       // another program grabbed the same chord first
        noSuchKey,      // the keysym is unknown, or no key of this keyboard makes it
        noDisplay,      // no X display to connect to
        connectionLost, // the display went away
    };

    std::function<void()> onPress;
    std::function<void()> onRelease;
    // Once after start() has tried to grab, and again if the connection is lost.
    std::function<void(Status)> onStatus;

    X11KeyGrab() = default;
    ~X11KeyGrab();
    X11KeyGrab(const X11KeyGrab&) = delete;
    X11KeyGrab& operator=(const X11KeyGrab&) = delete;

    // Connects to `display` (empty: $DISPLAY) and grabs `chord`; a running
    // grab is stopped first. Assign the callbacks before.
    void start(const KeyChord& chord, const std::string& display = {});
    // Ends a hold (onRelease, on the grab's thread, before this returns),
    // ungrabs and disconnects. Safe to call when not started.
    void stop();

    // Whether X knows the chord's key name at all (a keysym), without a
    // display: what can be said before anything starts. A known name may still
    // be on no key of the keyboard (noSuchKey once grabbed).
    static bool isKnownKeyName(const KeyChord& chord);

    // Milliseconds between checks of the keyboard's state while the key is held.
    static constexpr int heldCheckMilliseconds = 400;

private:
    void run(KeyChord chord, std::string display);

    std::thread thread_;
    int wakeFd_ = -1;
};

} // namespace hh
