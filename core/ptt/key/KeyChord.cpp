#include "core/ptt/key/KeyChord.h"

#include <algorithm>
#include <cctype>

namespace hh {

namespace {
std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
    return text;
}
} // namespace

std::optional<KeyChord> KeyChord::parse(std::string_view text) {
    KeyChord chord;
    text = trim(text);
    // The last part is the key, so "ctrl+plus" works but "ctrl++" does not.
    const auto lastPlus = text.rfind('+');
    const std::string_view key = trim(lastPlus == std::string_view::npos ? text : text.substr(lastPlus + 1));
    if (key.empty()) return std::nullopt;
    chord.key = std::string(key);
    if (lastPlus == std::string_view::npos) return chord;
    std::string_view modifiers = text.substr(0, lastPlus);
    for (bool isLast = false; !isLast;) {
        const auto plus = modifiers.find('+');
        isLast = plus == std::string_view::npos;
        const std::string name = lower(trim(modifiers.substr(0, plus)));
        if (name == "ctrl" || name == "control") chord.ctrl = true;
        else if (name == "shift") chord.shift = true;
        else if (name == "alt" || name == "mod1") chord.alt = true;
        else if (name == "super" || name == "logo" || name == "meta" || name == "win" || name == "mod4") chord.super = true;
        else return std::nullopt;
        if (!isLast) modifiers = modifiers.substr(plus + 1);
    }
    return chord;
}

std::string KeyChord::toString() const {
    std::string out;
    if (ctrl) out += "ctrl+";
    if (shift) out += "shift+";
    if (alt) out += "alt+";
    if (super) out += "super+";
    return out + key;
}

std::string KeyChord::toPortalTrigger() const {
    std::string out;
    if (ctrl) out += "CTRL+";
    if (shift) out += "SHIFT+";
    if (alt) out += "ALT+";
    if (super) out += "LOGO+";
    return out + key;
}

} // namespace hh
