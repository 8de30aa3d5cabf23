#include "core/ptt/key/KeyChord.h"

#include <gtest/gtest.h>

namespace hh {
namespace {

// (A held key's one press and one release, whatever X repeats, is walked end to
// end by the tray program's hotkey lab.)
TEST(KeyChordTest, ParsesTheNamesUsersWriteIntoOneCanonicalForm) {
    struct Case {
        const char* text;
        const char* canonical; // null: rejected
        const char* portal;
    };
    const Case cases[] = {
        {" Control + Shift + a ", "ctrl+shift+a", "CTRL+SHIFT+a"},
        {"super+alt+shift+ctrl+Pause", "ctrl+shift+alt+super+Pause", "CTRL+SHIFT+ALT+LOGO+Pause"},
        {"Meta+F13", "super+F13", "LOGO+F13"},
        {"", nullptr, nullptr},
        {"ctrl++", nullptr, nullptr},
        {"hyper+F9", nullptr, nullptr},
    };
    for (const Case& c : cases) {
        const auto chord = KeyChord::parse(c.text);
        if (!c.canonical) {
            EXPECT_FALSE(chord) << c.text;
            continue;
        }
        ASSERT_TRUE(chord) << c.text;
        EXPECT_EQ(chord->toString(), c.canonical);
        EXPECT_EQ(chord->toPortalTrigger(), c.portal);
        EXPECT_EQ(KeyChord::parse(chord->toString()), chord) << "the canonical form reads back";
    }
}

} // namespace
} // namespace hh
