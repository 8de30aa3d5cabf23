#include "support/FakeAudioPlatform.h"
#include "support/ManualExecutor.h"
#include "support/FakeDnsSdPlatform.h"
#include "support/FakeNetworkPlatform.h"
#include "core/ptt/PTTController.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

namespace hh {

struct PTTControllerTestAccess {
    static std::size_t talkerNameCount(const PTTController& c) { return c.talkerNames_.size(); }
};

namespace {

using namespace std::chrono_literals;
using Access = PTTControllerTestAccess;

class PTTControllerTest : public ::testing::Test {
protected:
    PTTControllerTest() {
        devices->setInputFormat(16000, 1);
        remake();
    }

    void makeController(std::string name) {
        controller = std::make_shared<PTTController>(
            std::move(name), ownID,
            PTTController::Components{main, network, std::make_unique<FakeAudioPlatform>(devices), dnsSd});
        controller->onChange = [this](PTTController::Property p) { ++changes[p]; };
        controller->onTalkEndSent = [this] { ++talkEndsSent; };
        // Frames are compared sample by sample; the processing has tests of its own.
        controller->setNoiseSuppression(false);
        controller->onCue = [this](Cue cue) {
            cues.push_back(cue);
            const auto all = network->allSent();
            lastSentAtCue.push_back(all.empty() ? std::nullopt : std::optional(WalkiePacket::decode(all.back())->type));
        };
    }

    // A fresh network (on `queue`, the main executor by default) and controller.
    void remake(std::shared_ptr<ManualExecutor> queue = nullptr) {
        network = std::make_shared<FakeNetworkPlatform>(queue ? queue : main);
        network->isAutoReady = true;
        makeController("Ann");
    }

    void startOnAir() {
        controller->start();
        main->runUntilIdle();
        ASSERT_EQ(controller->connectionState().kind, ConnectionState::Kind::onAir);
    }

    // Speaks `frames` whole frames into the microphone.
    void speak(int frames, std::size_t extraSamples = 0) {
        std::vector<float> samples(std::size_t(frames) * 320 + extraSamples, 0.25f);
        ASSERT_TRUE(devices->pushInput(samples));
        main->runUntilIdle();
    }

    // What was sent, without the presence beacons (or only those).
    std::vector<WalkiePacket> sent(bool beacons = false) {
        main->runUntilIdle();
        std::vector<WalkiePacket> out;
        for (const auto& bytes : network->allSent()) {
            auto packet = *WalkiePacket::decode(bytes);
            if ((packet.type == PacketType::hello) == beacons) out.push_back(std::move(packet));
        }
        return out;
    }

    std::vector<PacketType> sentTypes() {
        std::vector<PacketType> types;
        for (const auto& p : sent()) types.push_back(p.type);
        return types;
    }

    void receive(const WalkiePacket& p) {
        network->lastGroup()->deliverDatagram(p.encode());
        main->runUntilIdle();
    }

    static WalkiePacket from(const Uuid& id, PacketType type, std::string name = {}, std::uint32_t frameIndex = 0) {
        WalkiePacket p;
        p.type = type;
        p.senderID = id;
        p.frameIndex = frameIndex;
        if (type == PacketType::audio) p.payload.assign(640, 0x40);
        p.payload.insert(p.payload.end(), name.begin(), name.end());
        return p;
    }

    // The speaker's output once enough has been enqueued to prime playback.
    bool isPlaying() {
        const auto out = devices->pullOutput(320);
        return std::any_of(out.begin(), out.end(), [](float s) { return s != 0.0f; });
    }

    std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>();
    std::shared_ptr<FakeNetworkPlatform> network = std::make_shared<FakeNetworkPlatform>(main);
    std::shared_ptr<FakeAudioDevices> devices = std::make_shared<FakeAudioDevices>();
    std::shared_ptr<FakeDnsSdPlatform> dnsSd = std::make_shared<FakeDnsSdPlatform>(main);
    Uuid ownID = Uuid::random();
    Uuid peerID = Uuid::random();
    std::shared_ptr<PTTController> controller;
    std::map<PTTController::Property, int> changes;
    int talkEndsSent = 0;
    std::vector<Cue> cues;
    // The last packet out when each cue started.
    std::vector<std::optional<PacketType>> lastSentAtCue;
};

using Kind = ConnectionState::Kind;

TEST_F(PTTControllerTest, ConnectionStateFollowsTheTransport) {
    EXPECT_TRUE(network->groups.empty());  // nothing touched before start()
    network->isAutoReady = false;
    controller->start();
    main->runUntilIdle();
    network->lastGroup()->deliverState({GroupState::Kind::setup, {}});
    main->runUntilIdle();
    EXPECT_EQ(controller->connectionState().kind, Kind::connecting);
    network->lastGroup()->deliverState({GroupState::Kind::waiting, "Network is unreachable"});
    main->runUntilIdle();
    EXPECT_EQ(controller->connectionState(), ConnectionState::networkError("Network is unreachable"));
    network->lastGroup()->deliverState({GroupState::Kind::ready, {}});
    main->runUntilIdle();
    EXPECT_EQ(controller->connectionState(), (ConnectionState{Kind::onAir, {}}));
    controller->stop();
    EXPECT_EQ(controller->connectionState().kind, Kind::stopped);
    EXPECT_FALSE(controller->isRunning());
}

// The local-network answer from discovery's browse state and, without a
// DNS-SD daemon, from the group's join.
TEST_F(PTTControllerTest, LocalNetworkAccessFromTheBrowserAndWithoutADaemonFromTheGroup) {
    using A = LocalNetworkAccess;
    using B = DnsSdBrowserState::Kind;
    const GroupState joined{GroupState::Kind::ready, {}}, settingUp{GroupState::Kind::setup, {}},
        refused{GroupState::Kind::failed, "Operation not permitted", true},
        noInterface{GroupState::Kind::failed, "No such device", false};
    const DnsSdError daemonMissing{DnsSdErrorCode::serviceNotRunning, "Daemon not running"};
    const DnsSdBrowserState browsing{B::ready, {}}, noDaemon{B::waiting, daemonMissing},
        noDaemonFailed{B::failed, daemonMissing}, policy{B::waiting, DnsSdError{DnsSdErrorCode::policyDenied, "Access denied"}},
        other{B::failed, DnsSdError{DnsSdErrorCode::badState, "Bad state"}};
    const struct {
        std::optional<DnsSdBrowserState> browser;
        GroupState group;
        A expected;
    } cases[] = {
        {std::nullopt, joined, A::unknown},   // the browser has not spoken yet
        {browsing, refused, A::granted},      // browsing is proof enough, whatever the join says
        {policy, joined, A::denied},
        {noDaemon, joined, A::granted},
        {noDaemonFailed, refused, A::denied},
        {noDaemon, noInterface, A::unknown},  // a failure that is no refusal tells nothing
        {noDaemon, settingUp, A::unknown},
        {other, joined, A::unknown},
    };
    network->isAutoReady = false;
    for (const auto& c : cases) {
        makeController("Ann");
        controller->start();
        main->runUntilIdle();
        network->lastGroup()->deliverState(c.group);
        if (c.browser) dnsSd->browsers.back()->deliverState(*c.browser);
        main->runUntilIdle();
        EXPECT_EQ(controller->localNetworkAccess(), c.expected) << &c - cases;
        EXPECT_EQ(changes[PTTController::Property::localNetworkAccess], c.expected == A::unknown ? 0 : 1) << &c - cases;
        controller->stop();
        changes.clear();
    }
    // It follows the reports as they change: the daemon comes back.
    makeController("Ann");
    controller->start();
    main->runUntilIdle();
    network->lastGroup()->deliverState(refused);
    dnsSd->browsers.back()->deliverState(noDaemon);
    main->runUntilIdle();
    EXPECT_EQ(controller->localNetworkAccess(), A::denied);
    dnsSd->browsers.back()->deliverState(browsing);
    main->runUntilIdle();
    EXPECT_EQ(controller->localNetworkAccess(), A::granted);
}

TEST_F(PTTControllerTest, AudioFailureIsShownAndTheRestStillStarts) {
    devices->setOutputStartFailure("cannot connect to the sound server");
    network->isAutoReady = false;
    controller->start();
    EXPECT_EQ(controller->connectionState(), ConnectionState::audioError("cannot connect to the sound server"));
    EXPECT_TRUE(controller->isRunning());
    main->runUntilIdle();
    EXPECT_EQ(network->groups.size(), 1u);
    EXPECT_EQ(dnsSd->browsers.size(), 1u);

    // Later health reports from the platform (any thread) and network states,
    // in order: an audio error shows over "on air" until audio works again,
    // and a network error shows over it.
    using Health = std::optional<std::string>;
    const struct {
        std::optional<GroupState> network;
        std::optional<Health> audio;
        ConnectionState shown;
    } steps[] = {
        {GroupState{GroupState::Kind::ready, {}}, std::nullopt, ConnectionState::audioError("cannot connect to the sound server")},
        {std::nullopt, Health{}, {Kind::onAir, {}}},
        {std::nullopt, Health{"no sound server is running"}, ConnectionState::audioError("no sound server is running")},
        {GroupState{GroupState::Kind::waiting, "Network is unreachable"}, std::nullopt, ConnectionState::networkError("Network is unreachable")},
        {GroupState{GroupState::Kind::ready, {}}, std::nullopt, ConnectionState::audioError("no sound server is running")},
        {std::nullopt, Health{}, {Kind::onAir, {}}},
    };
    for (const auto& step : steps) {
        if (step.network) network->lastGroup()->deliverState(*step.network);
        if (step.audio) std::thread([&] { devices->reportHealth(*step.audio); }).join();
        main->runUntilIdle();
        EXPECT_EQ(controller->connectionState(), step.shown);
    }
}

TEST_F(PTTControllerTest, PressSpeakReleaseSendsStartFramesPaddedLastAndEnd) {
    startOnAir();
    controller->beginTalking();
    EXPECT_TRUE(controller->isTransmitting());
    speak(3);
    controller->endTalking();
    EXPECT_FALSE(controller->isTransmitting());  // at once
    speak(1, 100);                               // the tail still goes out
    main->advance(199ms);
    EXPECT_EQ(sent().size(), 5u);  // no talk end before the tail is over
    EXPECT_EQ(talkEndsSent, 0);
    main->advance(1ms);
    EXPECT_EQ(talkEndsSent, 1);

    const auto packets = sent();
    ASSERT_EQ(packets.size(), 7u);
    EXPECT_EQ(packets[0].type, PacketType::talkStart);
    EXPECT_EQ(packets[0].payload, (Bytes{'A', 'n', 'n'}));
    EXPECT_EQ(packets[0].frameIndex, 0u);
    for (std::uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(packets[1 + i].type, PacketType::audio);
        EXPECT_EQ(packets[1 + i].frameIndex, i);
        EXPECT_EQ(packets[1 + i].payload.size(), 640u);
    }
    // The last frame held 100 samples and was padded with silence.
    EXPECT_NE(packets[5].payload[199], 0);
    EXPECT_EQ(packets[5].payload[200], 0);
    EXPECT_EQ(packets[5].payload[639], 0);
    EXPECT_EQ(packets[6].type, PacketType::talkEnd);
    EXPECT_EQ(packets[6].frameIndex, 5u);
    EXPECT_TRUE(packets[6].payload.empty());
    // One counter per sender: the beacon sent on going on air took the first number.
    for (std::uint32_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].sequence, i + 1);
        EXPECT_EQ(packets[i].senderID, ownID);
    }
    EXPECT_FALSE(devices->isInputRunning());
}

TEST_F(PTTControllerTest, PressAgainDuringTheTailSendsNoTalkEndBetween) {
    startOnAir();
    controller->beginTalking();
    speak(2);
    controller->endTalking();
    main->advance(100ms);
    controller->beginTalking();
    speak(1);
    main->advance(500ms);  // the first tail ends while talking again
    EXPECT_TRUE(devices->isInputRunning());
    controller->endTalking();
    main->advance(200ms);

    using T = PacketType;
    EXPECT_EQ(sentTypes(), (std::vector{T::talkStart, T::audio, T::audio, T::talkStart, T::audio, T::talkEnd}));
    const auto packets = sent();
    EXPECT_EQ(packets[3].frameIndex, 0u);
    EXPECT_EQ(packets[3].sequence, packets[0].sequence + 3);
    EXPECT_EQ(packets[4].frameIndex, 0u);
    EXPECT_EQ(packets[5].frameIndex, 1u);
}

TEST_F(PTTControllerTest, WrongStateOperationsDoNothing) {
    controller->beginTalking();  // not running
    controller->endTalking();
    main->runUntilIdle();
    EXPECT_FALSE(controller->isTransmitting());
    controller->start();  // twice: nothing is made twice
    startOnAir();
    EXPECT_EQ(network->monitors.size(), 1u);
    EXPECT_EQ(dnsSd->browsers.size(), 1u);
    controller->endTalking();  // release without press
    controller->beginTalking();
    controller->beginTalking();  // already on the air
    main->advance(1s);
    EXPECT_EQ(sent().size(), 1u);
    controller->stop();
    controller->stop();
    controller->refreshTransport();
    main->advance(1s);
    EXPECT_EQ(network->groups.size(), 1u);
}

// A stop while pressed, or during the release's tail, ends the talk as a
// release would: the talk end goes out before the group closes, once.
TEST_F(PTTControllerTest, StopSendsTheTalkEndOfAPressOrATail) {
    for (bool isReleasedFirst : {false, true}) {
        SCOPED_TRACE(isReleasedFirst ? "during the tail" : "while pressed");
        remake();
        talkEndsSent = 0;
        startOnAir();
        controller->beginTalking();
        speak(1, 100);
        if (isReleasedFirst) {
            controller->endTalking();
            main->advance(100ms);
        }
        controller->stop();
        EXPECT_FALSE(controller->isTransmitting());
        EXPECT_EQ(talkEndsSent, 1);
        EXPECT_FALSE(devices->isInputRunning());
        main->advance(1s);
        // The second audio packet is the padded rest.
        EXPECT_EQ(sentTypes(), (std::vector{PacketType::talkStart, PacketType::audio, PacketType::audio, PacketType::talkEnd}));
        EXPECT_EQ(talkEndsSent, 1);
        EXPECT_EQ(controller->connectionState().kind, Kind::stopped);
    }
}

TEST_F(PTTControllerTest, PeerListDropsOwnNameUnderCanonicalEquivalence) {
    makeController("Zo\u00eb");
    controller->start();
    main->runUntilIdle();
    auto result = [](std::string name) {
        return DnsSdBrowseResult{DnsSdServiceEndpoint{std::move(name), "_hollerhopper._tcp", "local.", "veth0"}};
    };
    dnsSd->browsers.back()->deliverResults({result("Bob"), result("Zoe\u0308"), result("zo\u00eb"), result("Zo\u00eb"),
                                            result("Amy")});
    main->runUntilIdle();
    std::vector<std::string> names;
    for (const auto& p : controller->peers()) names.push_back(p.name);
    EXPECT_EQ(names, (std::vector<std::string>{"Bob", "zo\u00eb", "Amy"}));
}

TEST_F(PTTControllerTest, RenameIsAdvertisedAndCarriedByTheNextTalkStart) {
    startOnAir();
    controller->beginTalking();
    controller->setDisplayName("Bea");  // mid-spurt: the sent talk start keeps "Ann"
    controller->setDisplayName("");     // never an empty name
    controller->endTalking();
    main->advance(200ms);
    controller->beginTalking();
    const auto packets = sent();
    ASSERT_GE(packets.size(), 3u);
    EXPECT_EQ(packets.front().payload, (Bytes{'A', 'n', 'n'}));
    EXPECT_EQ(packets.back().type, PacketType::talkStart);
    EXPECT_EQ(packets.back().payload, (Bytes{'B', 'e', 'a'}));
    EXPECT_EQ(controller->displayName(), "Bea");
    ASSERT_EQ(dnsSd->listeners.size(), 2u);
    EXPECT_EQ(dnsSd->listeners.back()->service->name, "Bea");
    // The own-name filter follows the new name.
    dnsSd->browsers.back()->deliverResults(FakeDnsSdPlatform::results({"Ann", "Bea"}));
    main->runUntilIdle();
    ASSERT_EQ(controller->peers().size(), 1u);
    EXPECT_EQ(controller->peers()[0].name, "Ann");
}

TEST_F(PTTControllerTest, TalkerNamesFollowStartsHellosAndFallBackToSomeone) {
    startOnAir();
    receive(from(ownID, PacketType::talkStart, "Ann"));  // our own looped back: no talker
    receive(from(ownID, PacketType::audio));
    EXPECT_FALSE(controller->talkingPeerName());
    receive(from(peerID, PacketType::audio));
    EXPECT_EQ(controller->talkingPeerName(), "Someone");
    receive(from(peerID, PacketType::talkStart, "Bob"));
    EXPECT_EQ(controller->talkingPeerName(), "Bob");
    const int notified = changes[PTTController::Property::talkingPeerName];
    for (int i = 0; i < 20; ++i) receive(from(peerID, PacketType::audio));
    EXPECT_EQ(changes[PTTController::Property::talkingPeerName], notified) << "repeated audio notifies nothing";
    receive(from(peerID, PacketType::talkStart, ""));  // empty keeps the name
    EXPECT_EQ(controller->talkingPeerName(), "Bob");
    auto broken = from(peerID, PacketType::talkStart);
    broken.payload = {0xC3};
    receive(broken);
    EXPECT_EQ(controller->talkingPeerName(), "Bob");

    const Uuid other = Uuid::random();
    receive(from(other, PacketType::hello, "Cy"));
    EXPECT_EQ(controller->talkingPeerName(), "Bob");  // a hello marks no talker
    receive(from(other, PacketType::audio));
    EXPECT_EQ(controller->talkingPeerName(), "Cy");
    receive(from(peerID, PacketType::talkEnd));  // not the current talker
    EXPECT_EQ(controller->talkingPeerName(), "Cy");
    receive(from(other, PacketType::talkEnd));
    EXPECT_FALSE(controller->talkingPeerName());
}

TEST_F(PTTControllerTest, MuteAndTransmittingGatePlaybackButNotTheTalker) {
    controller->setCuesEnabled(false);  // only received audio on the speaker
    startOnAir();
    std::uint32_t index = 0;
    controller->setMuted(true);
    for (int i = 0; i < 3; ++i) receive(from(peerID, PacketType::audio, {}, index++));
    EXPECT_FALSE(isPlaying());
    EXPECT_EQ(controller->talkingPeerName(), "Someone");

    controller->setMuted(false);
    controller->beginTalking();
    for (int i = 0; i < 3; ++i) receive(from(peerID, PacketType::audio, {}, index++));
    EXPECT_FALSE(isPlaying());

    controller->endTalking();  // in our own tail, received audio plays again
    for (int i = 0; i < 3; ++i) receive(from(peerID, PacketType::audio, {}, index++));
    EXPECT_TRUE(isPlaying());
    main->advance(1s);  // let the tail finish: it holds the controller
}

TEST_F(PTTControllerTest, SilentTalkerTimesOutStrictlyAfterFourTenths) {
    startOnAir();
    const auto idleTimers = main->pendingCount();
    receive(from(peerID, PacketType::audio));
    main->advance(300ms);
    receive(from(peerID, PacketType::audio));
    main->advance(400ms);  // exactly 0.4 s since the last audio keeps the talker
    EXPECT_EQ(controller->talkingPeerName(), "Someone");
    main->advance(2ms);
    EXPECT_FALSE(controller->talkingPeerName());
    main->advance(10s);
    EXPECT_EQ(main->pendingCount(), idleTimers);  // nobody talks: no talker timer left waking the program
}

// Several talk at once: all listed in the order they began, the most recent
// as the one name, each dropping out on its own talk end or silence; no more
// are tracked than the mixer plays.
TEST_F(PTTControllerTest, TalkersAreListedTogetherAndLeaveOneByOne) {
    startOnAir();
    const Uuid bob = Uuid::random(), cy = Uuid::random();
    receive(from(peerID, PacketType::talkStart, "Ada"));
    receive(from(bob, PacketType::talkStart, "Bob"));
    for (std::uint32_t i = 0; i < 3; ++i) {
        receive(from(peerID, PacketType::audio, {}, i));
        receive(from(bob, PacketType::audio, {}, i));
    }
    EXPECT_EQ(controller->talkingPeerNames(), (std::vector<std::string>{"Ada", "Bob"}));
    EXPECT_EQ(controller->talkingPeerName(), "Bob");
    const auto out = devices->pullOutput(320);
    EXPECT_GT(out[0], 0.9f);  // both heard, summed: each alone is 0x4040 / 32768 = 0.502
    receive(from(cy, PacketType::audio));
    EXPECT_EQ(controller->talkingPeerName(), "Someone");
    receive(from(cy, PacketType::talkStart, "Cy"));  // named later: the list follows
    EXPECT_EQ(controller->talkingPeerNames(), (std::vector<std::string>{"Ada", "Bob", "Cy"}));
    receive(from(bob, PacketType::talkEnd));
    EXPECT_EQ(controller->talkingPeerNames(), (std::vector<std::string>{"Ada", "Cy"}));
    EXPECT_EQ(controller->talkingPeerName(), "Cy");
    for (int i = 0; i < 20; ++i) receive(from(Uuid::random(), PacketType::audio));
    EXPECT_EQ(controller->talkingPeerNames().size(), PTTController::maximumTalkers);
    main->advance(300ms);
    receive(from(peerID, PacketType::audio, {}, 3));
    main->advance(300ms);  // all but Ada have been quiet for over 0.4 s
    EXPECT_EQ(controller->talkingPeerNames(), (std::vector<std::string>{"Ada"}));
    EXPECT_EQ(controller->talkingPeerName(), "Ada");
}

TEST_F(PTTControllerTest, AFloodOfSenderIDsKeepsTheNameTableBounded) {
    startOnAir();
    receive(from(peerID, PacketType::talkStart, "Bob"));
    for (int i = 0; i < 2000; ++i) {
        // Appended rather than "x" + to_string(i), which GCC 12 at -O3 flags as an
        // overlapping copy (-Wrestrict) that cannot happen.
        std::string name = "x";
        name += std::to_string(i);
        network->lastGroup()->deliverDatagram(from(Uuid::random(), PacketType::hello, name).encode());
    }
    main->runUntilIdle();
    EXPECT_LE(Access::talkerNameCount(*controller), PTTController::maximumTalkerNames);
    // The current talker keeps its name.
    receive(from(peerID, PacketType::audio));
    EXPECT_EQ(controller->talkingPeerName(), "Bob");
}

// Cues: when each is decided; that one sounds from its first sample.

TEST_F(PTTControllerTest, OnAirAfterTheTalkStartAndReleasedAfterTheTalkEnd) {
    startOnAir();
    controller->beginTalking();
    main->runUntilIdle();
    ASSERT_EQ(cues, (std::vector{Cue::onAir}));
    EXPECT_EQ(lastSentAtCue[0], PacketType::talkStart);  // the talk start had gone out
    const auto played = devices->pullOutput(320);  // and it sounds on the speaker
    EXPECT_TRUE(std::equal(played.begin(), played.end(), CuePlayer::synthesize(Cue::onAir).begin()));

    speak(2);
    controller->endTalking();
    main->advance(199ms);
    EXPECT_EQ(cues.size(), 1u);  // not during the tail
    main->advance(1ms);
    ASSERT_EQ(cues, (std::vector{Cue::onAir, Cue::released}));
    EXPECT_EQ(lastSentAtCue[1], PacketType::talkEnd);
}

// A press that cannot transmit gives "failed" and its release no "released";
// peers still see its talk start and end.
TEST_F(PTTControllerTest, APressThatCannotTransmitFails) {
    const struct {
        const char* what;
        void (*arrange)(FakeAudioDevices&, FakeNetworkPlatform&);
    } cases[] = {
        {"no microphone", [](FakeAudioDevices& d, FakeNetworkPlatform&) { d.makeCaptureUnavailable(); }},
        {"microphone refused", [](FakeAudioDevices& d, FakeNetworkPlatform&) { d.setInputStartFails(true); }},
        {"not on air", [](FakeAudioDevices&, FakeNetworkPlatform& n) { n.isAutoReady = false; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        devices = std::make_shared<FakeAudioDevices>();
        devices->setInputFormat(16000, 1);
        remake();
        cues.clear();
        c.arrange(*devices, *network);
        controller->start();
        main->runUntilIdle();
        controller->beginTalking();
        controller->endTalking();
        main->advance(1s);
        EXPECT_EQ(cues, (std::vector{Cue::failed}));
        EXPECT_EQ(sentTypes(), (std::vector{PacketType::talkStart, PacketType::talkEnd}));
        controller->stop();
    }
}

TEST_F(PTTControllerTest, IncomingOnlyForTheFirstTalkerIntoSilence) {
    startOnAir();
    const Uuid other = Uuid::random();
    receive(from(peerID, PacketType::talkStart, "Bob"));
    EXPECT_EQ(cues, (std::vector{Cue::incoming}));
    receive(from(peerID, PacketType::audio));
    receive(from(other, PacketType::talkStart, "Cy"));  // joins during Bob
    receive(from(other, PacketType::audio));
    receive(from(other, PacketType::talkEnd));
    receive(from(peerID, PacketType::audio));  // Bob still talking
    EXPECT_EQ(cues.size(), 1u);
    receive(from(peerID, PacketType::talkEnd));
    receive(from(other, PacketType::audio));  // a new spurt into silence
    EXPECT_EQ(cues.size(), 2u);
    main->advance(500ms);  // Cy falls silent without a talk end
    receive(from(other, PacketType::audio));
    EXPECT_EQ(cues, (std::vector{Cue::incoming, Cue::incoming, Cue::incoming}));
}

// Mute silences "incoming" only; the switch silences all; nothing of a cue
// ever reaches the transmitted frames.
TEST_F(PTTControllerTest, MuteSilencesIncomingOnlyAndCuesStayOffTheAir) {
    startOnAir();
    controller->setMuted(true);
    receive(from(peerID, PacketType::talkStart, "Bob"));
    receive(from(peerID, PacketType::talkEnd));
    controller->beginTalking();
    main->runUntilIdle();
    // The microphone hears silence while the cue sounds on the speaker.
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(devices->pullOutput(320).empty());
        ASSERT_TRUE(devices->pushInput(std::vector<float>(320, 0.0f)));
        main->runUntilIdle();
    }
    controller->endTalking();
    main->advance(300ms);
    EXPECT_EQ(cues, (std::vector{Cue::onAir, Cue::released}));
    for (const auto& p : sent()) {
        if (p.type == PacketType::audio) {
            EXPECT_TRUE(std::all_of(p.payload.begin(), p.payload.end(), [](std::uint8_t b) { return b == 0; }));
        }
    }

    devices->pullOutput(8000);  // the release cue plays out
    controller->setMuted(false);
    controller->setCuesEnabled(false);
    receive(from(peerID, PacketType::talkStart, "Bob"));
    controller->beginTalking();
    main->advance(300ms);
    EXPECT_EQ(cues.size(), 2u);
    EXPECT_FALSE(isPlaying());
}

TEST_F(PTTControllerTest, NothingReachesAControllerThatIsGone) {
    startOnAir();
    network->lastGroup()->deliverDatagram(from(peerID, PacketType::talkStart, "Bob").encode());
    std::weak_ptr<PTTController> weak = controller;
    controller.reset();
    main->advance(1s);
    EXPECT_TRUE(weak.expired());
}

TEST_F(PTTControllerTest, BeaconsGoOutOnAirAndAfterEachRebuildUntilStopped) {
    startOnAir();
    auto beacons = sent(true);
    ASSERT_EQ(beacons.size(), 1u);
    EXPECT_EQ(std::string(beacons[0].payload.begin(), beacons[0].payload.end()), "Ann");
    EXPECT_EQ(beacons[0].senderID, ownID);
    controller->refreshTransport();  // the schedule itself is the presence tracker's
    main->runUntilIdle();
    EXPECT_EQ(network->groups.size(), 2u);
    EXPECT_EQ(sent(true).size(), 2u) << "a rebuilt group announces us at once";
    controller->stop();
    const auto count = sent(true).size();
    main->advance(seconds(30));
    EXPECT_EQ(sent(true).size(), count);
}

// The capture thread advances the counters while the main thread presses and
// releases: every packet still gets its own sequence number.
TEST_F(PTTControllerTest, CountersStayIndivisibleAcrossThreads) {
    auto transportQueue = std::make_shared<ManualExecutor>();
    remake(transportQueue);
    controller->start();
    main->runUntilIdle();
    transportQueue->runUntilIdle();
    controller->beginTalking();

    // The capture thread keeps delivering until the main thread has pressed
    // and released fifty times, so the two really overlap.
    constexpr int pressCount = 50;
    std::atomic<int> presses{0};
    std::thread capture([&] {
        const std::vector<float> frame(320, 0.1f);
        while (presses < pressCount) {
            devices->pushInput(frame);
            std::this_thread::sleep_for(200us);
        }
    });
    for (int i = 0; i < pressCount; ++i) {
        controller->endTalking();
        main->advance(50ms);
        controller->beginTalking();
        main->runUntilIdle();
        ++presses;
    }
    capture.join();
    controller->endTalking();
    main->advance(1s);
    transportQueue->runUntilIdle();
    std::set<std::uint32_t> sequences;
    std::size_t count = 0;
    for (const auto& bytes : network->allSent()) {
        sequences.insert(WalkiePacket::decode(bytes)->sequence);
        ++count;
    }
    EXPECT_EQ(sequences.size(), count);
    EXPECT_GT(count, std::size_t(pressCount));
}

} // namespace
} // namespace hh
