#include "core/audio/CuePlayer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

namespace hh {
namespace {

// Each cue fades in and out (no click) and is unlike the others.
TEST(CuePlayerTest, CuesAreFadedAndDistinct) {
    std::set<std::vector<float>> distinct;
    for (Cue cue : {Cue::onAir, Cue::released, Cue::incoming, Cue::failed}) {
        const auto& s = CuePlayer::synthesize(cue);
        EXPECT_LT(std::max(std::abs(s.front()), std::abs(s.back())), 0.01f) << int(cue);
        distinct.insert(s);
    }
    EXPECT_EQ(distinct.size(), 4u);
}

// The cue is added over what is already in the output, sample for sample from
// the first, clipped at full scale, and stops by itself; a second play restarts it.
TEST(CuePlayerTest, MixesOverTheReceivedAudioWithoutShiftingIt) {
    CuePlayer player;
    std::vector<float> mixed, block(320);
    EXPECT_FALSE(player.mixInto(block));
    player.play(Cue::failed);
    const auto& sound = player.sound(Cue::failed);
    while (mixed.size() < sound.size() + 320) {
        std::fill(block.begin(), block.end(), 0.25f);  // received audio
        block[0] = 0.95f;
        player.mixInto(block);
        mixed.insert(mixed.end(), block.begin(), block.end());
    }
    for (std::size_t i = 0; i < sound.size(); ++i)
        ASSERT_FLOAT_EQ(mixed[i], std::min(1.0f, (i % 320 == 0 ? 0.95f : 0.25f) + sound[i])) << i;
    EXPECT_FLOAT_EQ(mixed.back(), 0.25f);
    EXPECT_FALSE(player.isPlaying());

    player.play(Cue::onAir);
    player.mixInto(block);
    player.play(Cue::onAir);
    std::fill(block.begin(), block.end(), 0.0f);
    player.mixInto(block);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), player.sound(Cue::onAir).begin()));
}

} // namespace
} // namespace hh
