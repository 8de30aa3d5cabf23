#pragma once

#include "app/bridge/HotkeyObject.h"
#include "core/ptt/key/KeyChord.h"

#include <memory>

namespace hh {

class PortalShortcut;
class X11KeyGrab;

// A global key (push to talk, or reply) held anywhere on the desktop: an X11
// key grab of its own in an X session, a shortcut in the desktop portal's
// global shortcuts session under Wayland (where X clients see no keys of other
// programs' windows; the keys share one session, so the desktop shows them
// together). Both feed one KeyHold, so a hold is one `pressed` and one
// `released` whatever the source does, and changing or clearing the key
// mid-hold releases first.
class GlobalHotkey final : public HotkeyObject {
    Q_OBJECT
public:
    enum class Backend { x11, portal };
    // Wayland sessions use the portal; everything else X11.
    static Backend backendForSession();

    // The push-to-talk key.
    explicit GlobalHotkey(Backend backend = backendForSession(), QObject* parent = nullptr);
    ~GlobalHotkey() override;
    // The reply key beside `pushToTalk`: the same backend, and under Wayland
    // the same portal session.
    static std::unique_ptr<GlobalHotkey> replyKeyBeside(GlobalHotkey& pushToTalk);

    void setKey(const QString& chord) override;

private:
    GlobalHotkey(Backend backend, QString shortcutId, QString description, std::shared_ptr<PortalShortcut> portal);
    void apply(const KeyChord& chord);
    void stopBackend();

    Backend backend_;
    QString shortcutId_;
    QString description_;
    KeyHold hold_;
    std::unique_ptr<X11KeyGrab> x11_;
    std::shared_ptr<PortalShortcut> portal_; // under Wayland, shared by the keys
    bool isBound_ = false; // our shortcut is in the portal's session
    int grabGeneration_ = 0;
};

} // namespace hh
