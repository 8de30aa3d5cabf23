#include "support/ManualExecutor.h"
#include "core/ptt/RecentMessages.h"

#include <gtest/gtest.h>

namespace hh {
namespace {

class RecentMessagesTest : public ::testing::Test {
protected:
    // One spurt of `frames` frames of `frameBytes` each, talk start to talk end.
    void spurt(const Uuid& id, int frames, std::size_t frameBytes = 640, bool isDirect = false, bool isMuted = false) {
        send(id, PacketType::talkStart, 0, 0, isDirect, isMuted);
        for (int i = 0; i < frames; ++i) send(id, PacketType::audio, std::uint32_t(i), frameBytes, isDirect, isMuted);
        send(id, PacketType::talkEnd, std::uint32_t(frames), 0, isDirect, isMuted);
    }
    void send(const Uuid& id, PacketType type, std::uint32_t index, std::size_t bytes, bool isDirect = false,
              bool isMuted = false) {
        WalkiePacket p;
        p.type = type;
        p.senderID = id;
        p.frameIndex = index;
        p.payload.assign(bytes, 0x11);
        recent.packetReceived(p, isDirect, "Kitchen", isMuted);
    }
    std::size_t bytes() const {
        std::size_t total = 0;
        for (const auto& m : recent.messages()) total += m.bytes;
        return total;
    }

    ManualExecutor main;
    RecentMessages recent{main};
};

// The last 20, none older than 10 minutes, at most 20 MB, whichever bites
// first; a flood of one-frame spurts from random senders stays within them.
TEST_F(RecentMessagesTest, TheHistoryKeepsWithinCountAgeAndSize) {
    const Uuid kitchen = Uuid::random();
    spurt(kitchen, 50, 640, true);
    main.advance(seconds(300));
    for (int i = 0; i < 25; ++i) spurt(Uuid::random(), 1);
    ASSERT_EQ(recent.messages().size(), RecentMessages::maximumCount);
    EXPECT_EQ(recent.messages().back().frames.size(), 1u);
    EXPECT_NE(recent.messages().front().sender, kitchen) << "the oldest went first";

    recent.clear();
    spurt(kitchen, 50, 640, true);
    main.advance(seconds(RecentMessages::maximumAge));
    spurt(kitchen, 10);
    EXPECT_EQ(recent.messages().size(), 2u);
    main.advance(std::chrono::milliseconds(2));
    ASSERT_EQ(recent.messages().size(), 1u) << "ten minutes after it ended, a spurt goes by itself";
    EXPECT_FALSE(recent.messages().front().isToUs);

    // 2,000-byte frames: 10 minutes of them would be 60 MB.
    for (int i = 0; i < 15; ++i) spurt(Uuid::random(), 2000, 2000);
    EXPECT_LE(bytes(), RecentMessages::maximumBytes);
    EXPECT_GT(bytes(), RecentMessages::maximumBytes - 4000 * 2000);
    main.advance(seconds(2 * RecentMessages::maximumAge));
    EXPECT_TRUE(recent.messages().empty());
}

// Stray audio without a talk start is no message until it is long enough;
// what came while muted stays unheard until the list is seen.
TEST_F(RecentMessagesTest, StrayAudioIsDroppedAndMutedSpurtsAreUnheardUntilSeen) {
    const Uuid a = Uuid::random(), b = Uuid::random();
    for (std::uint32_t i = 0; i < 9; ++i) send(a, PacketType::audio, i, 640);
    recent.endSpurt(a);
    EXPECT_TRUE(recent.messages().empty());
    for (std::uint32_t i = 0; i < 10; ++i) send(a, PacketType::audio, i, 640);
    recent.endSpurt(a);
    spurt(b, 3, 640, true, true);
    ASSERT_EQ(recent.messages().size(), 2u);
    EXPECT_FALSE(recent.messages()[0].isUnheard);
    EXPECT_TRUE(recent.messages()[1].isUnheard);
    EXPECT_TRUE(recent.messages()[1].isToUs);
    EXPECT_EQ(recent.messages()[1].name, "Kitchen");
    EXPECT_TRUE(recent.hasUnheard());
    recent.markAllHeard();
    EXPECT_FALSE(recent.hasUnheard());
}

} // namespace
} // namespace hh
