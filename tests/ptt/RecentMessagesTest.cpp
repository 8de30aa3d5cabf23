#include "support/ManualExecutor.h"
#include "core/ptt/RecentMessages.h"

#include <gtest/gtest.h>

namespace hh {
namespace {

class RecentMessagesTest : public ::testing::Test {
protected:
    // One spurt of `frames` frames of `frameBytes` each, talk start to talk end.
    void spurt(const Uuid& id, int frames, std::size_t frameBytes = 640, bool isDirect = false) {
        send(id, PacketType::talkStart, 0, 0, isDirect);
        for (int i = 0; i < frames; ++i) send(id, PacketType::audio, std::uint32_t(i), frameBytes, isDirect);
        send(id, PacketType::talkEnd, std::uint32_t(frames), 0, isDirect);
    }
    void send(const Uuid& id, PacketType type, std::uint32_t index, std::size_t bytes, bool isDirect = false) {
        WalkiePacket p{WalkieConfig::protocolVersion, type, id, 0, index, Bytes(bytes, 0x11)};
        recent.packetReceived(p, isDirect, "Kitchen", false);
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
// first; a flood of one-frame spurts from random senders stays within them;
// stray audio without a talk start is no message.
TEST_F(RecentMessagesTest, TheHistoryKeepsWithinCountAgeAndSize) {
    const Uuid kitchen = Uuid::random();
    spurt(kitchen, 50, 640, true);
    main.advance(seconds(300));
    for (int i = 0; i < 25; ++i) spurt(Uuid::random(), 1);
    ASSERT_EQ(recent.messages().size(), RecentMessages::maximumCount);
    EXPECT_LE(main.pendingCount(), 2u) << "no expiry task piles up per spurt";
    EXPECT_EQ(recent.messages().back().frames.size(), 1u);
    EXPECT_NE(recent.messages().front().sender, kitchen) << "the oldest went first";

    recent.clear();
    for (std::uint32_t i = 0; i < 9; ++i) send(kitchen, PacketType::audio, i, 640);
    recent.endSpurt(kitchen);
    EXPECT_TRUE(recent.messages().empty());
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

} // namespace
} // namespace hh
