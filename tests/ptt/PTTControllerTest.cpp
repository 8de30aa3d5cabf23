#include "support/FakeAudioPlatform.h"
#include "support/ManualExecutor.h"
#include "support/FakeDnsSdPlatform.h"
#include "support/FakeNetworkPlatform.h"
#include "core/ptt/PTTController.h"

#include <gtest/gtest.h>

#include <map>
#include <thread>

namespace hh {

namespace {

using namespace std::chrono_literals;
using Kind = ConnectionState::Kind;
using T = PacketType;

class PTTControllerTest : public ::testing::Test {
protected:
    PTTControllerTest() {
        devices = std::make_shared<FakeAudioDevices>();
        devices->setInputFormat(16000, 1);
        network = std::make_shared<FakeNetworkPlatform>(main);
        network->isAutoReady = true;
        controller = std::make_shared<PTTController>(
            "Ann", ownID, PTTController::Components{main, network, std::make_unique<FakeAudioPlatform>(devices), dnsSd});
        controller->onChange = [this](PTTController::Property p) { ++changes[p]; };
        controller->onTalkEndSent = [this](std::uint32_t) { ++talkEndsSent; };
        // Frames are compared sample by sample; the processing has tests of its own.
        controller->setNoiseSuppression(false);
        controller->onCue = [this](Cue cue) {
            cues.push_back(cue);
            const auto all = network->allSent();
            lastSentAtCue.push_back(all.empty() ? std::nullopt : std::optional(WalkiePacket::decode(all.back())->type));
        };
    }

    void startOnAir() {
        controller->start();
        main->runUntilIdle();
        ASSERT_EQ(controller->connectionState().kind, Kind::ready);
    }

    // Speaks `frames` whole frames into the microphone.
    void speak(int frames, std::size_t extraSamples = 0) {
        std::vector<float> samples(std::size_t(frames) * 320 + extraSamples, 0.25f);
        ASSERT_TRUE(devices->pushInput(samples));
        main->runUntilIdle();
    }

    // What was sent, without the presence beacons and encoding announcements.
    std::vector<WalkiePacket> sent() {
        main->runUntilIdle();
        std::vector<WalkiePacket> out;
        for (const auto& bytes : network->allSent()) {
            auto packet = *WalkiePacket::decode(bytes);
            if (packet.type != T::hello && packet.type != T::encodings) out.push_back(std::move(packet));
        }
        return out;
    }

    std::vector<PacketType> sentTypes() {
        std::vector<PacketType> types;
        for (const auto& p : sent()) types.push_back(p.type);
        return types;
    }

    void receive(const Uuid& id, PacketType type, std::string name = {}, std::uint32_t frameIndex = 0,
                 DatagramOrigin origin = {"10.0.0.9", false}, Bytes payload = {}) {
        WalkiePacket p;
        p.type = type;
        p.senderID = id;
        p.frameIndex = frameIndex;
        p.payload = std::move(payload);
        if (type == T::audio) p.payload.assign(640, 0x40);
        p.payload.insert(p.payload.end(), name.begin(), name.end());
        network->lastGroup()->deliverDatagram(p.encode(), std::move(origin));
        main->runUntilIdle();
    }

    // Each packet sent but the beacons, as "type>destination" (empty: the group).
    std::vector<std::string> sentWithDestinations() {
        main->runUntilIdle();
        std::vector<std::string> out;
        const auto& group = *network->lastGroup();
        for (std::size_t i = 0; i < group.sent.size(); ++i) {
            const auto type = WalkiePacket::decode(group.sent[i])->type;
            if (type != T::hello && type != T::encodings) out.push_back(std::string(toString(type)) + ">" + group.destinations[i]);
        }
        return out;
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
// from any thread): an audio error shows over "ready", a network error over it.
TEST_F(PTTControllerTest, ConnectionStateFollowsTheGroupAndTheAudio) {
    devices->setOutputStartFailure("cannot connect to the sound server");
    network->isAutoReady = false;
    controller->start();
    controller->start();  // twice: nothing is made twice
    EXPECT_EQ(controller->connectionState(), ConnectionState::audioError("cannot connect to the sound server"));
    main->runUntilIdle();
    EXPECT_EQ(network->groups.size(), 1u) << "the rest still starts";

    using Health = std::optional<std::string>;
    const struct {
        std::optional<GroupState> group;
        std::optional<Health> audio;
        ConnectionState shown;
    } steps[] = {
        {GroupState{GroupState::Kind::ready, {}}, std::nullopt, ConnectionState::audioError("cannot connect to the sound server")},
        {std::nullopt, Health{}, {Kind::ready, {}}},
        {std::nullopt, Health{"no sound server is running"}, ConnectionState::audioError("no sound server is running")},
        {GroupState{GroupState::Kind::waiting, "Network is unreachable"}, std::nullopt, ConnectionState::networkError("Network is unreachable")},
        {std::nullopt, Health{}, ConnectionState::networkError("Network is unreachable")},
        // No usable interface is no network, whatever the audio says.
        {GroupState{GroupState::Kind::waiting, "no network connection", false, true}, Health{"no sound server is running"},
         {Kind::noNetwork, {}}},
    };
    for (const auto& step : steps) {
        if (step.group) network->lastGroup()->deliverState(*step.group);
        if (step.audio) std::thread([&] { devices->reportHealth(*step.audio); }).join();
        main->runUntilIdle();
        EXPECT_EQ(controller->connectionState(), step.shown) << &step - steps;
    }
    controller->stop();
    main->advance(1s);
    EXPECT_EQ(controller->connectionState().kind, Kind::stopped);
}

// With the cues: "on air" once the talk start is out, sounding from its first
// sample; "released" once the talk end is. (The talk start's name and the
// padded last frame's samples are checked end to end by presence_lab.)
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
    for (std::uint32_t i = 0; i < packets.size(); ++i) {
        // One counter per sender: the beacon and announcement sent on going on air took the first numbers.
        EXPECT_EQ(packets[i].sequence, i + 2);
        EXPECT_EQ(packets[i].senderID, ownID);
        // Frames count from 0; the talk end carries their number.
        EXPECT_EQ(packets[i].frameIndex, i == 0 ? 0 : i - 1);
    }
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

// Talker tracking, beyond what the labs walk (two talkers and the first's
// cue: receive_lab, cue_lab; the talk end clearing: presence_lab): our own
// packets looped back, audio without a talk start, and no notification per frame.
TEST_F(PTTControllerTest, TalkersFollowStartsAndAudioButNotOurOwn) {
    startOnAir();
    receive(ownID, T::talkStart, "Ann");
    receive(ownID, T::audio);
    EXPECT_FALSE(controller->talkingPeerName());
    receive(bob, T::audio);
    EXPECT_EQ(controller->talkingPeerName(), "Someone");
    receive(bob, T::talkStart, "Bob");
    EXPECT_EQ(controller->talkingPeerName(), "Bob");
    const int notified = changes[PTTController::Property::talkingPeerName];
    for (int i = 0; i < 20; ++i) receive(bob, T::audio);
    receive(Uuid::random(), T::talkEnd);  // from someone not talking
    EXPECT_EQ(changes[PTTController::Property::talkingPeerName], notified);
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
    main->advance(601s);
    // Nobody talks and Bob's spurt has left the history: no timer left waking the program.
    EXPECT_EQ(main->pendingCount(), idleTimers);
    for (int i = 0; i < 20; ++i) receive(Uuid::random(), T::audio);
    EXPECT_EQ(controller->talkingPeerNames().size(), PlayoutMixer::maximumTalkers) << "no more than the mixer plays";
}

// A press without a microphone sends nothing, plays "failed" and says why.
// (Without a sound server or a network: audio_live_lab, transport_lab.)
TEST_F(PTTControllerTest, APressWithoutAMicrophoneSendsNothingAndSaysWhy) {
    devices->makeCaptureUnavailable();
    startOnAir();
    controller->beginTalking();
    EXPECT_FALSE(controller->isTransmitting());
    EXPECT_EQ(controller->talkFailure(), (TalkFailure{TalkFailure::Kind::noMicrophone, {}}));
    controller->endTalking();
    main->advance(1s);
    EXPECT_TRUE(sentTypes().empty());
    EXPECT_EQ(cues, (std::vector{Cue::failed}));
}

// On the air, received audio stays off the speaker (no echo into our own
// microphone) but still names the talker; in our own tail it plays again.
// (Muted playback: recent_lab, on the real program.)
TEST_F(PTTControllerTest, TransmittingGatesPlaybackButNotTheTalker) {
    controller->setCuesEnabled(false);  // only received audio on the speaker
    startOnAir();
    controller->beginTalking();
    for (std::uint32_t i = 0; i < 3; ++i) receive(bob, T::audio, {}, i);
    EXPECT_FALSE(isPlaying());
    EXPECT_EQ(controller->talkingPeerName(), "Someone");
    controller->endTalking();
    for (std::uint32_t i = 3; i < 6; ++i) receive(bob, T::audio, {}, i);
    EXPECT_TRUE(isPlaying());
    main->advance(1s);  // let the tail finish: it holds the controller
}

// Direct presses the roster cannot place are refused with the failed cue and
// send nothing; a reply goes to whoever last talked to us alone, for a minute.
// (A spurt reaching its peer alone, a reply's way back and an unknown name:
// roster_lab, between lab hosts.)
TEST_F(PTTControllerTest, DirectPressesAreRefusedWithoutSendingAndRepliesLastAMinute) {
    startOnAir();
    receive(bob, T::hello, "Bob", 0, {"10.0.0.5", false});
    receive(bob, T::hello, "Bob", 0, {"10.0.0.5", false});  // listed from its second beacon
    using R = PTTController::Refusal;
    EXPECT_EQ(controller->beginReply(), R::nobodyToReply) << "nobody talked to us yet";
    main->advance(16s);  // Bob silent: listed, but not heard
    EXPECT_EQ(controller->beginTalkingTo("Bob"), R::notReachable);
    EXPECT_FALSE(controller->isTransmitting());
    main->runUntilIdle();
    EXPECT_EQ(cues, (std::vector{Cue::failed, Cue::failed}));
    EXPECT_TRUE(sentWithDestinations().empty());

    receive(cy, T::talkStart, "Cy", 0, {"10.0.0.6", true});
    receive(cy, T::talkEnd, {}, 0, {"10.0.0.6", true});
    EXPECT_EQ(cues.back(), Cue::incomingDirect) << "a spurt to us alone sounds its own cue";
    EXPECT_EQ(controller->beginReply(), std::nullopt);
    controller->endTalking();
    controller->beginTalking();  // to everyone, during the reply's tail
    controller->endTalking();
    main->advance(1s);
    EXPECT_EQ(sentWithDestinations(),
              (std::vector<std::string>{"talkStart>10.0.0.6", "talkEnd>10.0.0.6", "talkStart>", "talkEnd>"}));
    main->advance(59s);
    EXPECT_EQ(controller->replyName(), "Cy");
    main->advance(1s);
    EXPECT_FALSE(controller->replyName()) << "a minute after Cy's spurt, nobody to answer";
    EXPECT_EQ(changes[PTTController::Property::replyName], 2);
}

// A switch ends a press on the channel it began on; what follows goes to the
// new channel only, sealed, and a private channel puts nothing into DNS-SD.
TEST_F(PTTControllerTest, AChannelSwitchEndsThePressWhereItBeganAndAdvertisesNothing) {
    startOnAir();
    controller->beginTalking();
    speak(1);
    receive(bob, T::talkStart, "Bob");
    const auto office = Channel::makePrivate("Office", "one two three");
    controller->setChannel(office);
    EXPECT_FALSE(controller->isTransmitting());
    EXPECT_FALSE(controller->talkingPeerName());
    EXPECT_EQ(changes[PTTController::Property::channel], 1);
    main->runUntilIdle();
    controller->beginTalking();
    speak(2);
    controller->endTalking();
    main->advance(1s);

    auto typesIn = [](const FakeNetworkPlatform::GroupRecord& group, const Channel& channel) {
        std::vector<PacketType> types;
        PacketOpener opener(channel.key());
        for (const auto& bytes : group.sent) {
            auto packet = channel.isPrivate() ? WalkiePacket::decode(opener.open(bytes).datagram)
                                              : WalkiePacket::decode(bytes);
            if (!packet) types.push_back(PacketType(255));  // not the channel's
            else if (packet->type != T::hello && packet->type != T::encodings) types.push_back(packet->type);
        }
        return types;
    };
    ASSERT_EQ(network->groups.size(), 2u);
    EXPECT_EQ(typesIn(*network->groups[0], Channel()), (std::vector{T::talkStart, T::audio, T::talkEnd}));
    EXPECT_EQ(network->groups[1]->host, office.multicastHost());
    EXPECT_EQ(typesIn(*network->groups[1], office), (std::vector{T::talkStart, T::audio, T::audio, T::talkEnd}));
    EXPECT_TRUE(dnsSd->browsers.back()->isCancelled);
    EXPECT_EQ(dnsSd->browsers.size(), 1u);
    EXPECT_EQ(dnsSd->listeners.size(), 1u);
}

} // namespace
} // namespace hh
