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

// Through DNS-SD: a listed peer decodes compressed speech only once a sender
// of its name (as Unicode text, or the name DNS-SD renamed it from) says so;
// the latest sender of a name decides, so a restart as an older build counts.
// A peer DNS-SD withdraws has left at once, though its last beacon is recent.
TEST_F(PeerEncodingsTest, ListedPeersCountWhatTheirSendersAnnounce) {
    EXPECT_EQ(next(), AudioEncoding::pcm) << "nobody known yet";
    EXPECT_EQ(next(CodecChoice::opus), AudioEncoding::opus) << "asked for, and nobody known who cannot";
    encodings.setListed(Names{"Kitchen", "Hall #2", "Caf\xC3\xA9"});
    EXPECT_EQ(without(), (Names{"Caf\xC3\xA9", "Hall #2", "Kitchen"})) << "listed, nothing heard: PCM-only";
    EXPECT_TRUE(encodings.announced(kitchen, true, now, "Kitchen"));
    EXPECT_FALSE(encodings.announced(kitchen, true, now, "Kitchen")) << "not a first announcement";
    encodings.announced(hall, true, now, "Hall");
    encodings.announced(cafe, true, now, "Cafe\xCC\x81");
    EXPECT_EQ(encodings.judge(now), (PeerEncodings::Verdict{3, {}}));
    EXPECT_EQ(next(), AudioEncoding::opus);
    EXPECT_EQ(next(CodecChoice::pcm), AudioEncoding::pcm);

    now += 1s;
    encodings.heard(old, now, "Kitchen");  // restarted as an older build
    EXPECT_EQ(without(), Names{"Kitchen"});
    EXPECT_EQ(next(CodecChoice::opus), AudioEncoding::pcm) << "never sent where it cannot be heard";
    encodings.setListed(Names{"Hall #2", "Caf\xC3\xA9"});
    EXPECT_EQ(encodings.judge(now), (PeerEncodings::Verdict{2, {}}));
}

// Without DNS-SD (there or here) the senders heard are the peers: one that
// announces nothing holds everyone to PCM until it has been silent for three
// beacons; a flood of strangers stays bounded.
TEST_F(PeerEncodingsTest, HeardSendersCountUntilTheyFallSilent) {
    encodings.setListed(std::nullopt);
    encodings.announced(kitchen, true, now, "Kitchen");
    encodings.heard(old, now, "Old");
    encodings.heard(hall, now);
    EXPECT_EQ(without(), (Names{"", "Old"}));
    now += seconds(PeerEncodings::forgetAfter);
    encodings.announced(kitchen, true, now);
    EXPECT_EQ(without(), (Names{"", "Old"})) << "exactly the limit is still known";
    now += 1ms;
    EXPECT_EQ(encodings.judge(now), (PeerEncodings::Verdict{1, {}}));
    encodings.setListed(Names{});  // a DNS-SD list without them: unlisted senders still count
    encodings.heard(old, now, "Old");
    EXPECT_EQ(without(), Names{"Old"});

    for (std::size_t i = 0; i < 2 * PeerEncodings::maximumSenders; ++i) encodings.heard(Uuid::random(), now += 1ms);
    EXPECT_EQ(encodings.judge(now).known, PeerEncodings::maximumSenders);
}

} // namespace
} // namespace hh
