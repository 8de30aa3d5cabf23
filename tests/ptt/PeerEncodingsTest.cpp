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
    Uuid kitchen = Uuid::random(), hall = Uuid::random(), oldBuild = Uuid::random();
};

// Through DNS-SD: a listed peer decodes compressed speech only once a sender
// of its name (or the name DNS-SD renamed it from) says so; the latest sender
// of a name decides, so a restart as an older build counts.
TEST_F(PeerEncodingsTest, ListedPeersCountOnlyWhatTheirSendersAnnounce) {
    EXPECT_EQ(next(), AudioEncoding::pcm) << "nobody known yet";
    EXPECT_EQ(next(CodecChoice::opus), AudioEncoding::opus) << "asked for, and nobody known who cannot";
    encodings.setListed(Names{"Kitchen", "Hall #2"});
    EXPECT_EQ(without(), (Names{"Hall #2", "Kitchen"})) << "listed, nothing heard: PCM-only";
    EXPECT_TRUE(encodings.announced(kitchen, true, now, "Kitchen"));
    encodings.heard(hall, now, "Hall");
    EXPECT_EQ(without(), Names{"Hall #2"});
    EXPECT_FALSE(encodings.announced(kitchen, true, now, "Kitchen")) << "not a first announcement";
    EXPECT_TRUE(encodings.announced(hall, true, now, "Hall"));
    EXPECT_EQ(encodings.judge(now), (PeerEncodings::Verdict{2, {}}));
    EXPECT_EQ(next(), AudioEncoding::opus);
    EXPECT_EQ(next(CodecChoice::pcm), AudioEncoding::pcm);

    now += 1s;
    encodings.heard(oldBuild, now, "Kitchen");  // restarted as an older build
    EXPECT_EQ(without(), Names{"Kitchen"});
    EXPECT_EQ(next(CodecChoice::opus), AudioEncoding::pcm) << "never sent where it cannot be heard";
}

// Without DNS-SD the senders heard are the peers: one announcing nothing
// (beacons or talk of an older build, or a stranger with no name) holds
// everyone to PCM until it has been silent for three beacons.
TEST_F(PeerEncodingsTest, HeardSendersCountUntilTheyFallSilent) {
    encodings.setListed(std::nullopt);
    encodings.announced(kitchen, true, now, "Kitchen");
    EXPECT_EQ(next(), AudioEncoding::opus);
    encodings.heard(oldBuild, now, "Old");
    encodings.heard(hall, now);
    EXPECT_EQ(without(), (Names{"", "Old"}));
    EXPECT_EQ(next(), AudioEncoding::pcm);
    now += seconds(PeerEncodings::forgetAfter);
    encodings.announced(kitchen, true, now);
    EXPECT_EQ(without(), (Names{"", "Old"})) << "exactly the limit is still known";
    now += 1ms;
    EXPECT_EQ(encodings.judge(now), (PeerEncodings::Verdict{1, {}}));
    EXPECT_EQ(next(), AudioEncoding::opus);
    // An announcement can also take the ability back.
    encodings.announced(kitchen, false, now);
    EXPECT_EQ(next(), AudioEncoding::pcm);
}

// A peer DNS-SD withdraws has left at once, though its last beacon is recent;
// an unlisted sender (no DNS-SD daemon there) still counts beside the list.
TEST_F(PeerEncodingsTest, WithdrawnPeersLeaveAtOnceUnlistedOnesStay) {
    encodings.setListed(Names{"Kitchen"});
    encodings.announced(kitchen, true, now, "Kitchen");
    encodings.heard(oldBuild, now, "Old");
    encodings.setListed(Names{"Kitchen", "Old"});
    EXPECT_EQ(without(), Names{"Old"});
    encodings.setListed(Names{"Kitchen"});
    EXPECT_EQ(encodings.judge(now), (PeerEncodings::Verdict{1, {}}));
    encodings.heard(hall, now, "Hall");  // beacons only, never listed
    encodings.setListed(Names{"Kitchen"});
    EXPECT_EQ(without(), Names{"Hall"});
    // DNS-SD going away forgets nobody: the senders heard carry on.
    encodings.setListed(std::nullopt);
    EXPECT_EQ(encodings.judge(now).known, 2u);
}

// Any computer may send under ever new IDs: the table stays bounded, and the
// peers heard most recently stay in it.
TEST_F(PeerEncodingsTest, AFloodOfSendersStaysBounded) {
    encodings.setListed(std::nullopt);
    for (std::size_t i = 0; i < 3 * PeerEncodings::maximumSenders; ++i) {
        now += 1ms;
        encodings.heard(Uuid::random(), now);
    }
    now += 1ms;
    encodings.announced(kitchen, true, now, "Kitchen");
    EXPECT_EQ(encodings.judge(now).known, PeerEncodings::maximumSenders);
}

} // namespace
} // namespace hh
