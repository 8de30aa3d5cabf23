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

namespace {

using namespace std::chrono_literals;
using Kind = ConnectionState::Kind;
using T = PacketType;

class PTTControllerTest : public ::testing::Test {
protected:
    PTTControllerTest() { remake(); }

    // A fresh microphone, network (on `queue`, the main executor by default) and controller.
    void remake(std::shared_ptr<ManualExecutor> queue = nullptr) {
        devices = std::make_shared<FakeAudioDevices>();
        devices->setInputFormat(16000, 1);
        network = std::make_shared<FakeNetworkPlatform>(queue ? queue : main);
        network->isAutoReady = true;
        controller = std::make_shared<PTTController>(
            "Ann", ownID, PTTController::Components{main, network, std::make_unique<FakeAudioPlatform>(devices), dnsSd});
        controller->onChange = [this](PTTController::Property p) { ++changes[p]; };
        controller->onTalkEndSent = [this] { ++talkEndsSent; };
        // Frames are compared sample by sample; the processing has tests of its own.
        controller->setNoiseSuppression(false);
        controller->onCue = [this](Cue cue) {
            cues.push_back(cue);
            const auto all = network->allSent();
            lastSentAtCue.push_back(all.empty() ? std::nullopt : std::optional(WalkiePacket::decode(all.back())->type));
        };
        talkEndsSent = 0;
        cues.clear();
    }

    void startOnAir() {
        controller->start();
        main->runUntilIdle();
        ASSERT_EQ(controller->connectionState().kind, Kind::onAir);
    }

    // Speaks `frames` whole frames into the microphone.
    void speak(int frames, std::size_t extraSamples = 0) {
        std::vector<float> samples(std::size_t(frames) * 320 + extraSamples, 0.25f);
        ASSERT_TRUE(devices->pushInput(samples));
        main->runUntilIdle();
    }

    // What was sent, without the presence beacons.
    std::vector<WalkiePacket> sent() {
        main->runUntilIdle();
        std::vector<WalkiePacket> out;
        for (const auto& bytes : network->allSent()) {
            auto packet = *WalkiePacket::decode(bytes);
            if (packet.type != T::hello) out.push_back(std::move(packet));
        }
        return out;
    }

    std::vector<PacketType> sentTypes() {
        std::vector<PacketType> types;
        for (const auto& p : sent()) types.push_back(p.type);
        return types;
    }

    static Bytes packet(const Uuid& id, PacketType type, std::string name = {}, std::uint32_t frameIndex = 0) {
        WalkiePacket p;
        p.type = type;
        p.senderID = id;
        p.frameIndex = frameIndex;
        if (type == T::audio) p.payload.assign(640, 0x40);
        p.payload.insert(p.payload.end(), name.begin(), name.end());
        return p.encode();
    }

    void receive(const Uuid& id, PacketType type, std::string name = {}, std::uint32_t frameIndex = 0) {
        network->lastGroup()->deliverDatagram(packet(id, type, std::move(name), frameIndex));
        main->runUntilIdle();
    }

    // The speaker's output once enough has been enqueued to prime playback.
    bool isPlaying() {
        const auto out = devices->pullOutput(320);
        return std::any_of(out.begin(), out.end(), [](float s) { return s != 0.0f; });
    }

    std::shared_ptr<ManualExecutor> main = std::make_shared<ManualExecutor>();
    std::shared_ptr<FakeDnsSdPlatform> dnsSd = std::make_shared<FakeDnsSdPlatform>(main);
    std::shared_ptr<FakeAudioDevices> devices;
    std::shared_ptr<FakeNetworkPlatform> network;
    Uuid ownID = Uuid::random();
    Uuid bob = Uuid::random();
    Uuid cy = Uuid::random();
    std::shared_ptr<PTTController> controller;
    std::map<PTTController::Property, int> changes;
    int talkEndsSent = 0;
    std::vector<Cue> cues;
    // The last packet out when each cue started.
    std::vector<std::optional<PacketType>> lastSentAtCue;
};

// The typed state as the group's and the audio's reports come (the audio's
// from any thread): an audio error shows over "on air", a network error over it.
TEST_F(PTTControllerTest, ConnectionStateFollowsTheGroupAndTheAudio) {
    controller->beginTalking();  // not running: nothing
    EXPECT_FALSE(controller->isTransmitting());
    devices->setOutputStartFailure("cannot connect to the sound server");
    network->isAutoReady = false;
    controller->start();
    controller->start();  // twice: nothing is made twice
    EXPECT_EQ(controller->connectionState(), ConnectionState::audioError("cannot connect to the sound server"));
    main->runUntilIdle();
    EXPECT_EQ(network->groups.size(), 1u) << "the rest still starts";
    EXPECT_EQ(dnsSd->browsers.size(), 1u);

    using Health = std::optional<std::string>;
    const struct {
        std::optional<GroupState> group;
        std::optional<Health> audio;
        ConnectionState shown;
    } steps[] = {
        {GroupState{GroupState::Kind::ready, {}}, std::nullopt, ConnectionState::audioError("cannot connect to the sound server")},
        {std::nullopt, Health{}, {Kind::onAir, {}}},
        {std::nullopt, Health{"no sound server is running"}, ConnectionState::audioError("no sound server is running")},
        {GroupState{GroupState::Kind::waiting, "Network is unreachable"}, std::nullopt, ConnectionState::networkError("Network is unreachable")},
        {std::nullopt, Health{}, ConnectionState::networkError("Network is unreachable")},
        {GroupState{GroupState::Kind::setup, {}}, std::nullopt, {Kind::connecting, {}}},
    };
    for (const auto& step : steps) {
        if (step.group) network->lastGroup()->deliverState(*step.group);
        if (step.audio) std::thread([&] { devices->reportHealth(*step.audio); }).join();
        main->runUntilIdle();
        EXPECT_EQ(controller->connectionState(), step.shown) << &step - steps;
    }
    controller->stop();
    controller->stop();
    controller->refreshTransport();  // nothing to rebuild once stopped
    main->advance(1s);
    EXPECT_EQ(controller->connectionState().kind, Kind::stopped);
    EXPECT_EQ(network->groups.size(), 1u);
}

// The local-network answer from discovery's browse state and, without a
// DNS-SD daemon, from the group's join, as it changes. (Browsing, and without
// a daemon a join or a refused one, are walked for real by permission_lab.)
TEST_F(PTTControllerTest, LocalNetworkAccessFromTheBrowserAndWithoutADaemonFromTheGroup) {
    using A = LocalNetworkAccess;
    using B = DnsSdBrowserState::Kind;
    const GroupState joined{GroupState::Kind::ready, {}};
    const struct {
        std::optional<GroupState> group;
        std::optional<DnsSdBrowserState> browser;
        A expected;
    } steps[] = {
        {joined, std::nullopt, A::unknown},  // the browser has not spoken yet
        {std::nullopt, DnsSdBrowserState{B::waiting, DnsSdError{DnsSdErrorCode::policyDenied, "Access denied"}}, A::denied},
        {GroupState{GroupState::Kind::failed, "No such device", false},
         DnsSdBrowserState{B::failed, DnsSdError{DnsSdErrorCode::serviceNotRunning, "Daemon not running"}}, A::unknown},
        {joined, std::nullopt, A::granted},  // a failure that is no refusal told nothing
    };
    network->isAutoReady = false;
    controller->start();
    main->runUntilIdle();
    for (const auto& step : steps) {
        if (step.group) network->lastGroup()->deliverState(*step.group);
        if (step.browser) dnsSd->browsers.back()->deliverState(*step.browser);
        main->runUntilIdle();
        EXPECT_EQ(controller->localNetworkAccess(), step.expected) << &step - steps;
    }
}

// With the cues: "on air" once the talk start is out, sounding from its first
// sample; "released" once the talk end is.
TEST_F(PTTControllerTest, PressSpeakReleaseSendsStartFramesPaddedLastAndEnd) {
    startOnAir();
    controller->endTalking();  // without a press: nothing
    controller->beginTalking();
    controller->beginTalking();  // already on the air: nothing
    main->runUntilIdle();
    ASSERT_EQ(cues, (std::vector{Cue::onAir}));
    EXPECT_EQ(lastSentAtCue[0], T::talkStart);
    const auto played = devices->pullOutput(320);
    EXPECT_TRUE(std::equal(played.begin(), played.end(), CuePlayer::synthesize(Cue::onAir).begin()));
    speak(3);
    controller->endTalking();
    EXPECT_FALSE(controller->isTransmitting());  // at once
    speak(1, 100);                               // the tail still goes out
    main->advance(199ms);
    EXPECT_EQ(sent().size(), 5u);  // no talk end before the tail is over
    EXPECT_EQ(cues.size(), 1u);
    main->advance(1ms);
    EXPECT_EQ(talkEndsSent, 1);
    ASSERT_EQ(cues, (std::vector{Cue::onAir, Cue::released}));
    EXPECT_EQ(lastSentAtCue[1], T::talkEnd);
    EXPECT_FALSE(devices->isInputRunning());

    const auto packets = sent();
    ASSERT_EQ(sentTypes(), (std::vector{T::talkStart, T::audio, T::audio, T::audio, T::audio, T::audio, T::talkEnd}));
    EXPECT_EQ(packets[0].payload, (Bytes{'A', 'n', 'n'}));
    for (std::uint32_t i = 0; i < packets.size(); ++i) {
        // One counter per sender: the beacon sent on going on air took the first number.
        EXPECT_EQ(packets[i].sequence, i + 1);
        EXPECT_EQ(packets[i].senderID, ownID);
        // Frames count from 0; the talk end carries their number.
        EXPECT_EQ(packets[i].frameIndex, i == 0 ? 0 : i - 1);
    }
    // The last frame held 100 samples and was padded with silence.
    EXPECT_EQ(packets[5].payload.size(), 640u);
    EXPECT_NE(packets[5].payload[199], 0);
    EXPECT_EQ(packets[5].payload[200], 0);
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

    EXPECT_EQ(sentTypes(), (std::vector{T::talkStart, T::audio, T::audio, T::talkStart, T::audio, T::talkEnd}));
    const auto packets = sent();
    EXPECT_EQ(packets[4].frameIndex, 0u);
    EXPECT_EQ(packets[5].frameIndex, 1u);
}

// A stop while pressed, or during the release's tail, ends the talk as a
// release would: the talk end goes out before the group closes, once.
TEST_F(PTTControllerTest, StopSendsTheTalkEndOfAPressOrATail) {
    for (bool isReleasedFirst : {false, true}) {
        SCOPED_TRACE(isReleasedFirst ? "during the tail" : "while pressed");
        remake();
        startOnAir();
        controller->beginTalking();
        speak(1, 100);
        if (isReleasedFirst) {
            controller->endTalking();
            main->advance(100ms);
        }
        controller->stop();
        EXPECT_EQ(talkEndsSent, 1);
        EXPECT_FALSE(devices->isInputRunning());
        main->advance(1s);
        // The second audio packet is the padded rest.
        EXPECT_EQ(sentTypes(), (std::vector{T::talkStart, T::audio, T::audio, T::talkEnd}));
        EXPECT_EQ(talkEndsSent, 1);
    }
}

// A rename mid-spurt: the talk start sent keeps the old name, the next one and
// the advertisement carry the new one, and the peer list's own-name filter
// follows it under canonical equivalence.
TEST_F(PTTControllerTest, RenameIsAdvertisedCarriedByTheNextTalkStartAndFiltered) {
    startOnAir();
    controller->beginTalking();
    controller->setDisplayName("Zo\u00eb");
    controller->setDisplayName("");  // never an empty name
    controller->endTalking();
    main->advance(200ms);
    controller->beginTalking();
    const auto packets = sent();
    EXPECT_EQ(packets.front().payload, (Bytes{'A', 'n', 'n'}));
    EXPECT_EQ(packets.back().type, T::talkStart);
    EXPECT_EQ(std::string(packets.back().payload.begin(), packets.back().payload.end()), "Zo\u00eb");
    EXPECT_EQ(dnsSd->listeners.back()->service->name, "Zo\u00eb");
    dnsSd->browsers.back()->deliverResults(FakeDnsSdPlatform::results({"Bob", "Zoe\u0308", "zo\u00eb", "Zo\u00eb", "Ann"}));
    main->runUntilIdle();
    std::vector<std::string> names;
    for (const auto& p : controller->peers()) names.push_back(p.name);
    EXPECT_EQ(names, (std::vector<std::string>{"Bob", "zo\u00eb", "Ann"}));
}

// Talker tracking, and its "incoming" cue only for a first talker into silence
// (cue_lab hears it for real, and again for the next spurt after a quiet one).
TEST_F(PTTControllerTest, TalkersFollowStartsHellosAndAudioAndTheFirstIsCued) {
    startOnAir();
    receive(ownID, T::talkStart, "Ann");  // our own looped back: no talker
    receive(ownID, T::audio);
    EXPECT_FALSE(controller->talkingPeerName());
    receive(bob, T::audio);
    EXPECT_EQ(controller->talkingPeerName(), "Someone");
    receive(bob, T::talkStart, "Bob");
    EXPECT_EQ(controller->talkingPeerName(), "Bob");
    const int notified = changes[PTTController::Property::talkingPeerName];
    for (int i = 0; i < 20; ++i) receive(bob, T::audio);
    EXPECT_EQ(changes[PTTController::Property::talkingPeerName], notified) << "repeated audio notifies nothing";
    receive(bob, T::talkStart, "");  // empty keeps the name
    receive(bob, T::talkStart, "\xC3");  // so does invalid UTF-8
    EXPECT_EQ(controller->talkingPeerName(), "Bob");

    receive(cy, T::hello, "Cy");
    EXPECT_EQ(controller->talkingPeerName(), "Bob");  // a hello marks no talker
    receive(cy, T::audio);  // joins during Bob: no cue
    EXPECT_EQ(controller->talkingPeerNames(), (std::vector<std::string>{"Bob", "Cy"}));
    EXPECT_EQ(controller->talkingPeerName(), "Cy");  // the most recent
    receive(Uuid::random(), T::talkEnd);  // from someone not talking: ignored
    EXPECT_EQ(controller->talkingPeerNames(), (std::vector<std::string>{"Bob", "Cy"}));
    receive(bob, T::talkEnd);
    EXPECT_EQ(controller->talkingPeerName(), "Cy");
    receive(cy, T::talkEnd);
    EXPECT_FALSE(controller->talkingPeerName());
    EXPECT_EQ(cues, (std::vector{Cue::incoming}));
}

TEST_F(PTTControllerTest, SilentTalkersTimeOutStrictlyAfterFourTenthsEachOnItsOwnAndAreCapped) {
    startOnAir();
    const auto idleTimers = main->pendingCount();
    receive(bob, T::talkStart, "Bob");
    receive(cy, T::audio);
    main->advance(300ms);
    receive(bob, T::audio);
    main->advance(100ms);  // exactly 0.4 s since Cy's last audio keeps Cy
    EXPECT_EQ(controller->talkingPeerNames(), (std::vector<std::string>{"Bob", "Someone"}));
    main->advance(2ms);
    EXPECT_EQ(controller->talkingPeerNames(), (std::vector<std::string>{"Bob"}));
    main->advance(300ms);
    EXPECT_FALSE(controller->talkingPeerName());
    main->advance(10s);
    EXPECT_EQ(main->pendingCount(), idleTimers);  // nobody talks: no talker timer left waking the program
    for (int i = 0; i < 20; ++i) receive(Uuid::random(), T::audio);
    EXPECT_EQ(controller->talkingPeerNames().size(), PTTController::maximumTalkers) << "no more than the mixer plays";
}

// A press that cannot transmit gives "failed" and its release no "released";
// peers still see its talk start and an end after no frames.
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
        remake();
        c.arrange(*devices, *network);
        controller->start();
        main->runUntilIdle();
        controller->beginTalking();
        controller->endTalking();
        main->advance(1s);
        EXPECT_EQ(cues, (std::vector{Cue::failed}));
        EXPECT_EQ(sentTypes(), (std::vector{T::talkStart, T::talkEnd}));
        EXPECT_EQ(sent().back().frameIndex, 0u);
    }
}

TEST_F(PTTControllerTest, MuteAndTransmittingGatePlaybackButNotTheTalker) {
    controller->setCuesEnabled(false);  // only received audio on the speaker
    startOnAir();
    std::uint32_t index = 0;
    controller->setMuted(true);
    for (int i = 0; i < 3; ++i) receive(bob, T::audio, {}, index++);
    EXPECT_FALSE(isPlaying());
    EXPECT_EQ(controller->talkingPeerName(), "Someone");

    controller->setMuted(false);
    controller->beginTalking();
    for (int i = 0; i < 3; ++i) receive(bob, T::audio, {}, index++);
    EXPECT_FALSE(isPlaying());

    controller->endTalking();  // in our own tail, received audio plays again
    for (int i = 0; i < 3; ++i) receive(bob, T::audio, {}, index++);
    EXPECT_TRUE(isPlaying());
    main->advance(1s);  // let the tail finish: it holds the controller
}

// Mute silences "incoming" only; nothing of a cue reaches the transmitted frames.
TEST_F(PTTControllerTest, MuteSilencesIncomingOnlyAndCuesStayOffTheAir) {
    startOnAir();
    controller->setMuted(true);
    receive(bob, T::talkStart, "Bob");
    receive(bob, T::talkEnd);
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
    for (const auto& p : sent())
        EXPECT_TRUE(p.type != T::audio || std::all_of(p.payload.begin(), p.payload.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(PTTControllerTest, NothingReachesAControllerThatIsGone) {
    startOnAir();
    network->lastGroup()->deliverDatagram(packet(bob, T::talkStart, "Bob"));
    std::weak_ptr<PTTController> weak = controller;
    controller.reset();
    main->advance(1s);
    EXPECT_TRUE(weak.expired());
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
    for (const auto& bytes : network->allSent()) sequences.insert(WalkiePacket::decode(bytes)->sequence);
    EXPECT_EQ(sequences.size(), network->allSent().size());
    EXPECT_GT(sequences.size(), std::size_t(pressCount));
}

} // namespace
} // namespace hh
