#include "core/ptt/key/linux/X11KeyGrab.h"

#include "core/log/Log.h"

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
// xkb.h names a member `explicit`, which C++ reserves.
#define explicit xkbExplicit
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace hh {

namespace {

struct ConnectionCloser {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
struct KeySymbolsFree {
    void operator()(xcb_key_symbols_t* s) const { xcb_key_symbols_free(s); }
};
struct MallocFree {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, MallocFree>;

constexpr std::uint8_t badAccess = 10;
constexpr xcb_keysym_t numLockKeysym = 0xff7f;

// The modifier bit Num Lock sets on this keyboard (Mod2 on nearly all).
std::uint16_t numLockMask(xcb_connection_t* c, xcb_key_symbols_t* symbols) {
    Reply<xcb_keycode_t> numLock(xcb_key_symbols_get_keycode(symbols, numLockKeysym));
    Reply<xcb_get_modifier_mapping_reply_t> map(
        xcb_get_modifier_mapping_reply(c, xcb_get_modifier_mapping(c), nullptr));
    if (numLock && map) {
        const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(map.get());
        const int perModifier = map->keycodes_per_modifier;
        for (int modifier = 0; modifier < 8; ++modifier)
            for (int i = 0; i < perModifier; ++i)
                for (const xcb_keycode_t* k = numLock.get(); *k != XCB_NO_SYMBOL; ++k)
                    if (codes[modifier * perModifier + i] == *k) return std::uint16_t(1u << modifier);
    }
    return XCB_MOD_MASK_2;
}

bool isKeyDown(xcb_connection_t* c, const std::vector<xcb_keycode_t>& keycodes) {
    Reply<xcb_query_keymap_reply_t> keymap(xcb_query_keymap_reply(c, xcb_query_keymap(c), nullptr));
    if (!keymap) return false;
    return std::any_of(keycodes.begin(), keycodes.end(),
                       [&](xcb_keycode_t k) { return keymap->keys[k / 8] & (1u << (k % 8)); });
}

} // namespace

bool X11KeyGrab::isKnownKeyName(const KeyChord& chord) {
    return xkb_keysym_from_name(chord.key.c_str(), XKB_KEYSYM_NO_FLAGS) != XKB_KEY_NoSymbol;
}

X11KeyGrab::~X11KeyGrab() { stop(); }

void X11KeyGrab::start(const KeyChord& chord, const std::string& display) {
    stop();
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this, chord, display] { run(chord, display); });
}

void X11KeyGrab::stop() {
    if (!thread_.joinable()) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
    ::close(wakeFd_);
    wakeFd_ = -1;
}

void X11KeyGrab::run(KeyChord chord, std::string display) {
    auto report = [this](Status status) {
        if (onStatus) onStatus(status);
    };
    KeyHold hold;
    hold.onPress = [this] {
        if (onPress) onPress();
    };
    hold.onRelease = [this] {
        if (onRelease) onRelease();
    };
    auto waitForStop = [this] {
        pollfd wake{wakeFd_, POLLIN, 0};
        while (::poll(&wake, 1, -1) < 0) {}
    };

    const xkb_keysym_t keysym = xkb_keysym_from_name(chord.key.c_str(), XKB_KEYSYM_NO_FLAGS);
    std::unique_ptr<xcb_connection_t, ConnectionCloser> connection(
        xcb_connect(display.empty() ? nullptr : display.c_str(), nullptr));
    xcb_connection_t* c = connection.get();
    if (xcb_connection_has_error(c)) {
        HH_LOG_WARNING(logcat::ptt, "push-to-talk key: cannot connect to the X display");
        report(Status::noDisplay);
        return waitForStop();
    }
    const xcb_setup_t* setup = xcb_get_setup(c);
    const xcb_window_t root = xcb_setup_roots_iterator(setup).data->root;

    // Held keys repeat as presses only, without the release before each.
    bool isRepeatDetectable = false;
    Reply<xcb_xkb_use_extension_reply_t> xkb(
        xcb_xkb_use_extension_reply(c, xcb_xkb_use_extension(c, XCB_XKB_MAJOR_VERSION, XCB_XKB_MINOR_VERSION), nullptr));
    if (xkb && xkb->supported) {
        const std::uint32_t flag = XCB_XKB_PER_CLIENT_FLAG_DETECTABLE_AUTO_REPEAT;
        Reply<xcb_xkb_per_client_flags_reply_t> flags(xcb_xkb_per_client_flags_reply(
            c, xcb_xkb_per_client_flags(c, XCB_XKB_ID_USE_CORE_KBD, flag, flag, 0, 0, 0), nullptr));
        isRepeatDetectable = flags && (flags->value & flag);
    }

    std::unique_ptr<xcb_key_symbols_t, KeySymbolsFree> symbols(xcb_key_symbols_alloc(c));
    std::vector<xcb_keycode_t> keycodes;
    if (keysym != XKB_KEY_NoSymbol) {
        Reply<xcb_keycode_t> found(xcb_key_symbols_get_keycode(symbols.get(), keysym));
        for (const xcb_keycode_t* k = found.get(); k && *k != XCB_NO_SYMBOL; ++k)
            if (std::find(keycodes.begin(), keycodes.end(), *k) == keycodes.end()) keycodes.push_back(*k);
    }
    if (keycodes.empty()) {
        HH_LOG_WARNING(logcat::ptt, "push-to-talk key: no key makes \"" << chord.key << "\"");
        report(Status::noSuchKey);
        return waitForStop();
    }

    std::uint16_t modifiers = 0;
    if (chord.ctrl) modifiers |= XCB_MOD_MASK_CONTROL;
    if (chord.shift) modifiers |= XCB_MOD_MASK_SHIFT;
    if (chord.alt) modifiers |= XCB_MOD_MASK_1;
    if (chord.super) modifiers |= XCB_MOD_MASK_4;
    const std::uint16_t numLock = numLockMask(c, symbols.get());
    const std::uint16_t locks = XCB_MOD_MASK_LOCK | numLock;
    // The chord with every combination of the lock modifiers, which X counts
    // as modifiers like any other.
    const std::uint16_t lockVariants[] = {0, XCB_MOD_MASK_LOCK, numLock, std::uint16_t(XCB_MOD_MASK_LOCK | numLock)};

    bool isConflict = false;
    {
        std::vector<xcb_void_cookie_t> cookies;
        for (xcb_keycode_t k : keycodes)
            for (std::uint16_t variant : lockVariants)
                cookies.push_back(xcb_grab_key_checked(c, 1, root, std::uint16_t(modifiers | variant), k,
                                                       XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        for (auto cookie : cookies) {
            Reply<xcb_generic_error_t> error(xcb_request_check(c, cookie));
            if (error && error->error_code == badAccess) isConflict = true;
        }
    }
    auto ungrab = [&] {
        for (xcb_keycode_t k : keycodes)
            for (std::uint16_t variant : lockVariants) xcb_ungrab_key(c, k, root, std::uint16_t(modifiers | variant));
        xcb_flush(c);
    };
    if (isConflict) {
        // Ours would be a partial grab: give back what we got.
        ungrab();
        HH_LOG_WARNING(logcat::ptt, "push-to-talk key: " << chord.toString() << " is grabbed by another program");
        report(Status::conflict);
        return waitForStop();
    }
    HH_LOG_INFO(logcat::ptt, "push-to-talk key: " << chord.toString() << " grabbed");
    report(Status::grabbed);

    auto isOurs = [&](xcb_keycode_t k) { return std::find(keycodes.begin(), keycodes.end(), k) != keycodes.end(); };
    using Clock = std::chrono::steady_clock;
    Clock::time_point nextCheck{};
    std::function<void(xcb_generic_event_t*)> handle = [&](xcb_generic_event_t* event) {
        switch (event->response_type & 0x7f) {
        case XCB_KEY_PRESS: {
            auto* press = reinterpret_cast<xcb_key_press_event_t*>(event);
            if (isOurs(press->detail) && (press->state & ~locks & 0xff) == modifiers) {
                if (!hold.isHeld()) nextCheck = Clock::now() + std::chrono::milliseconds(heldCheckMilliseconds);
                hold.down();
            }
            break;
        }
        case XCB_KEY_RELEASE: {
            auto* release = reinterpret_cast<xcb_key_release_event_t*>(event);
            if (!isOurs(release->detail)) break;
            if (!isRepeatDetectable) {
                // Plain auto-repeat: a release and a press at the same time.
                Reply<xcb_generic_event_t> next(xcb_poll_for_queued_event(c));
                if (next && (next->response_type & 0x7f) == XCB_KEY_PRESS) {
                    auto* press = reinterpret_cast<xcb_key_press_event_t*>(next.get());
                    if (press->detail == release->detail && press->time == release->time) break;
                }
                hold.up();
                if (next) handle(next.get());
                break;
            }
            hold.up(); // whatever the modifiers are now: letting go of ctrl first still ends it
            break;
        }
        default: break;
        }
    };

    pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    for (;;) {
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) handle(event.get());
        if (xcb_connection_has_error(c)) {
            hold.up();
            HH_LOG_WARNING(logcat::ptt, "push-to-talk key: the connection to the X display was lost");
            report(Status::connectionLost);
            return waitForStop();
        }
        int timeout = -1;
        if (hold.isHeld()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextCheck - Clock::now()).count();
            timeout = int(std::max<long long>(0, left));
        }
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0) continue;
        if (fds[1].revents & POLLIN) break;
        if (ready == 0 && hold.isHeld()) {
            // No release came; is the key still down at all?
            if (!isKeyDown(c, keycodes)) hold.up();
            nextCheck = Clock::now() + std::chrono::milliseconds(heldCheckMilliseconds);
        }
    }
    hold.up();
    if (!xcb_connection_has_error(c)) ungrab();
}

} // namespace hh
