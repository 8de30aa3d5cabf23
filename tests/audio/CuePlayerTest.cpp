#include "core/audio/CuePlayer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace hh {
namespace {

constexpr Cue allCues[] = {Cue::onAir, Cue::released, Cue::incoming, Cue::failed};

// Short, never loud, silent at both ends (no click), and each unlike the others.
TEST(CuePlayerTest, CuesAreShortSoftFadedAndDistinct) {
    for (Cue cue : allCues) {
        SCOPED_TRACE(int(cue));
        const auto& s = CuePlayer::synthesize(cue);
        EXPECT_GE(s.size(), 1600u);   // at least 0.1 s
        EXPECT_LE(s.size(), 6400u);   // at most 0.4 s
        float peak = 0;
        for (float v : s) peak = std::max(peak, std::abs(v));
        EXPECT_GT(peak, 0.1f);
        EXPECT_LE(peak, 0.3f);
        EXPECT_LT(std::abs(s.front()), 0.01f);
        EXPECT_LT(std::abs(s.back()), 0.01f);
        for (Cue other : allCues) {
            if (other != cue) {
                EXPECT_NE(s, CuePlayer::synthesize(other));
            }
        }
    }
}

// The cue is added over what is already in the output, sample for sample from
// the first, clipped at full scale, and stops by itself.
TEST(CuePlayerTest, MixesOverTheReceivedAudioWithoutShiftingIt) {
    CuePlayer player;
    std::vector<float> out(320, 0.0f);
    EXPECT_FALSE(player.mixInto(out));
    player.play(Cue::failed);
    const auto& sound = player.sound(Cue::failed);
    std::vector<float> mixed;
    for (std::size_t done = 0; done < sound.size() + 320; done += 320) {
        std::vector<float> block(320, 0.25f);  // received audio
        block[0] = 0.95f;
        player.mixInto(block);
        mixed.insert(mixed.end(), block.begin(), block.end());
    }
    for (std::size_t i = 0; i < sound.size(); ++i) {
        const float received = i % 320 == 0 ? 0.95f : 0.25f;
        ASSERT_FLOAT_EQ(mixed[i], std::min(1.0f, received + sound[i])) << i;
    }
    EXPECT_FLOAT_EQ(mixed.back(), 0.25f);
    EXPECT_FALSE(player.isPlaying());

    player.play(Cue::onAir);
    player.mixInto(out);
    player.play(Cue::onAir);  // starts again from the beginning
    std::vector<float> again(320, 0.0f);
    player.mixInto(again);
    EXPECT_TRUE(std::equal(again.begin(), again.end(), player.sound(Cue::onAir).begin()));
    player.stop();
    EXPECT_FALSE(player.isPlaying());
}

} // namespace
} // namespace hh
