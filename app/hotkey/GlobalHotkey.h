#pragma once

#include "app/bridge/HotkeyObject.h"
#include "core/ptt/key/KeyChord.h"

#include <memory>

namespace hh {

class PortalShortcut;
class X11KeyGrab;

// The push-to-talk key held anywhere on the desktop: an X11 key grab in an X
// session, the desktop portal's global shortcut under Wayland (where X
// clients see no keys of other programs' windows). Both feed one KeyHold, so
// a hold is one `pressed` and one `released` whatever the source does, and
// changing or clearing the key mid-hold releases first.
class GlobalHotkey final : public HotkeyObject {
    Q_OBJECT
public:
    enum class Backend { x11, portal };
    // Wayland sessions use the portal; everything else X11.
    static Backend backendForSession();

    explicit GlobalHotkey(Backend backend = backendForSession(), QObject* parent = nullptr);
    ~GlobalHotkey() override;

    void setKey(const QString& chord) override;

private:
    void apply(const KeyChord& chord);
    void stopBackend();

    Backend backend_;
    KeyHold hold_;
    std::unique_ptr<X11KeyGrab> x11_;
    PortalShortcut* portal_ = nullptr;
    int grabGeneration_ = 0;
};

} // namespace hh
