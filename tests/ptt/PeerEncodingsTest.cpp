#include "core/ptt/PeerEncodings.h"

#include <gtest/gtest.h>

namespace hh {
namespace {

using namespace std::chrono_literals;
using Names = std::vector<std::string>;

class PeerEncodingsTest : public ::testing::Test {
protected:
    Names without() const { return encodings.judge(now).withoutOpus; }
    AudioEncoding next(CodecChoice choice = CodecChoice::automatic) const { return spurtEncoding(choice, encodings.judge(now)); }

    PeerEncodings encodings;
    Executor::TimePoint now{};
    Uuid kitchen = Uuid::random(), hall = Uuid::random(), old = Uuid::random(), cafe = Uuid::random();
};

// (Compressed speech between hosts that decode it, PCM once an older build
// joins, with avahi and with beacons only, and compressed again once it has
// gone: codec_lab.) Here what no lab host varies: names matched as Unicode
// text and through DNS-SD's renames, the latest sender of a name deciding,
// the exact silence limit, and a flood of strangers.
TEST_F(PeerEncodingsTest, NamesMatchCanonicallyTheLatestSenderDecidesAndFloodsStayBounded) {
    EXPECT_EQ(next(CodecChoice::opus), AudioEncoding::opus) << "asked for, and nobody known who cannot";
    encodings.setListed(Names{"Kitchen", "Hall #2", "Caf\xC3\xA9"});
    EXPECT_EQ(without(), (Names{"Caf\xC3\xA9", "Hall #2", "Kitchen"})) << "listed, nothing heard: PCM-only";
    EXPECT_TRUE(encodings.announced(kitchen, true, now, "Kitchen"));
    EXPECT_FALSE(encodings.announced(kitchen, true, now, "Kitchen")) << "not a first announcement";
    encodings.announced(hall, true, now, "Hall");
    encodings.announced(cafe, true, now, "Cafe\xCC\x81");
    EXPECT_EQ(encodings.judge(now), (PeerEncodings::Verdict{3, {}}));
    EXPECT_EQ(next(CodecChoice::pcm), AudioEncoding::pcm);
    now += 1s;
    encodings.heard(old, now, "Kitchen");  // restarted as an older build
    EXPECT_EQ(without(), Names{"Kitchen"});
    EXPECT_EQ(next(CodecChoice::opus), AudioEncoding::pcm) << "never sent where it cannot be heard";

    encodings.setListed(std::nullopt);  // no DNS-SD: the senders heard are the peers
    now += seconds(PeerEncodings::forgetAfter);
    EXPECT_EQ(without(), Names{"Kitchen"}) << "exactly the limit is still known";
    now += 1ms;
    EXPECT_EQ(without(), Names{});
    for (std::size_t i = 0; i < 2 * PeerEncodings::maximumSenders; ++i) encodings.heard(Uuid::random(), now += 1ms);
    EXPECT_EQ(encodings.judge(now).known, PeerEncodings::maximumSenders);
}

} // namespace
} // namespace hh
