#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace hh {

// A push-to-talk key as the user names it: modifiers and one X keysym name,
// joined by '+' ("F9", "ctrl+space", "shift+alt+Pause"). The same text is
// stored in the settings, given to `hollerhopper-cli talk --key` and turned
// into the desktop portal's trigger. Platform-free: the key name is checked
// against a real keyboard only where the key is grabbed.
struct KeyChord {
    bool ctrl = false;
    bool shift = false;
    bool alt = false;
    bool super = false;
    std::string key;

    // Modifier names in any letter case (ctrl/control, shift, alt/mod1,
    // super/logo/meta/win); the key name as given. Empty, a missing key or an
    // unknown modifier: nothing.
    static std::optional<KeyChord> parse(std::string_view text);
    // The canonical text: "ctrl+shift+alt+super+KEY", modifiers in that order.
    std::string toString() const;
    // The trigger the global-shortcuts portal expects: "CTRL+SHIFT+ALT+LOGO+KEY".
    std::string toPortalTrigger() const;

    bool operator==(const KeyChord&) const = default;
};

// The chord nobody's desktop binds by default: Pause. GNOME, KDE Plasma and
// Xfce leave it free, few applications use it, and it needs no modifier, so it
// is easy to hold.
inline constexpr std::string_view defaultPushToTalkKey = "Pause";

// One hold of the key, whatever the source's events look like: exactly one
// onPress per hold and exactly one onRelease after it. Auto-repeated key
// presses, a repeated release, and a release reported as lost after the real
// one change nothing. Lives on one thread; the callbacks run there.
class KeyHold {
public:
    std::function<void()> onPress;
    std::function<void()> onRelease;

    void down() {
        if (isHeld_) return;
        isHeld_ = true;
        if (onPress) onPress();
    }
    void up() {
        if (!isHeld_) return;
        isHeld_ = false;
        if (onRelease) onRelease();
    }
    bool isHeld() const { return isHeld_; }

private:
    bool isHeld_ = false;
};

} // namespace hh
