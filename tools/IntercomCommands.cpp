// The headless intercom: listen, say, talk and peers, on the real controller.
#include "core/audio/linux/LinuxAudioPlatform.h"
#include "core/env/linux/ComputerName.h"
#include "core/exec/AsioExecutor.h"
#include "core/ptt/key/linux/X11KeyGrab.h"
#include "core/ptt/linux/LinuxIntercom.h"
#include "tools/ChannelOptions.h"
#include "tools/Cli.h"
#include "tools/Commands.h"
#include "tools/MonitorEvents.h"
#include "tools/Recorder.h"

#include <atomic>
#include <condition_variable>
#include <iostream>
#include <mutex>

namespace hh::cli {
namespace {

using Property = PTTController::Property;

const char* cueName(Cue cue) {
    switch (cue) {
    case Cue::onAir: return "onAir";
    case Cue::released: return "released";
    case Cue::incoming: return "incoming";
    case Cue::failed: return "failed";
    case Cue::incomingDirect: return "incomingDirect";
    }
    return "";
}

// "on" or "off", as the switches are spelled.
void addSwitch(CLI::App* cmd, const std::string& name, bool& value, const std::string& description) {
    cmd->add_option_function<std::string>(
           name, [&value](const std::string& word) { value = word == "on"; }, description)
        ->check(CLI::IsMember({"on", "off"}));
}

// Whom a transmission goes to: everyone, the peer named `to`, or with
// `isReply` whoever talks to us directly (waited for, up to the reply window).
struct Target {
    std::optional<std::string> to;
    bool isReply = false;
};

// What a command prints of the controller's changes.
enum class Events {
    presence,  // peers and the inbound path (`peers`)
    all,       // and the connection, the talker, the cues and a transmission's progress
};

// The one way every command builds the intercom: one controller on Linux
// services with its own main thread, driven from the process's main thread.
// Prints the controller's events as JSON lines: the connection, peers, talker
// and inbound path, and for a transmission its own progress (on air, the spurt
// sent with its frame count, a press that failed).
class Session {
public:
    // A one-shot sender is not `isAdvertised`: it would show up everywhere for
    // a moment (and under a listener's name, collide with it).
    Session(std::string name, const Channel& channel, std::unique_ptr<AudioPlatform> audio, StopSignal& stop,
            bool isAdvertised, Events events = Events::all)
        : main_(std::make_shared<AsioExecutor>("org.hollerhopper.main")), stop_(stop) {
        intercom_ = std::make_unique<LinuxIntercom>(std::move(name), Uuid::random(), main_, std::move(audio));
        auto& controller = intercom_->controller();
        controller.setChannel(channel);
        controller.setAdvertised(isAdvertised);
        controller.onTalkEndSent = [this, events](std::uint32_t frameCount) {
            if (events == Events::all) printJsonLine({{"event", "talk"}, {"state", "sent"}, {"frames", frameCount}});
            std::lock_guard lock(mutex_);
            isTalkEndSent_ = true;
            talkEndSent_.notify_all();
        };
        controller.onChange = [this, &controller, events](Property property) {
            if (property == Property::connectionState) {
                {
                    std::lock_guard lock(mutex_);
                    connectionState_ = controller.connectionState();
                }
                stop_.wake();
            }
            if (property == Property::peers || property == Property::talkingPeerNames) checkAwaited();
            if (property == Property::isWrongPassphrase) printJsonLine(wrongPassphraseEvent(controller.isWrongPassphrase()));
            if (property == Property::peers) printJsonLine(peersEvent(controller.peers()));
            if (property == Property::isInboundBlocked) printJsonLine(inboundEvent(controller.isInboundBlocked()));
            if (events != Events::all) return;
            switch (property) {
            case Property::connectionState: printJsonLine(connectionEvent(controller.connectionState())); break;
            case Property::talkingPeerName: {
                Json event{{"event", "talker"}, {"name", nullptr}};
                const auto& talkers = controller.roster().talkers();
                if (!talkers.empty()) {
                    event["name"] = talkers.back().name;
                    event["direct"] = talkers.back().isToUs;
                }
                printJsonLine(event);
                break;
            }
            case Property::isTransmitting:
                if (controller.isTransmitting()) printJsonLine({{"event", "talk"}, {"state", "on air"}});
                break;
            case Property::talkFailure:
                if (const auto& failure = controller.talkFailure())
                    printJsonLine({{"event", "talk"}, {"state", "failed"}, {"message", talkFailureText(*failure)}});
                break;
            default: break;
            }
        };
        if (events == Events::all) controller.onCue = [](Cue cue) { printJsonLine({{"event", "cue"}, {"cue", cueName(cue)}}); };
    }

    // Ends with the connection's "stopped" (and the talk end of a held press).
    ~Session() {
        onMain([this] {
            controller().stop();
            intercom_->shutdown();
        });
    }

    void onMain(std::function<void()> task) { main_->runAndWait(std::move(task)); }
    PTTController& controller() { return intercom_->controller(); }
    AsioExecutor& main() { return *main_; }

    // Starts the controller and waits until a press can go on air: nothing
    // when it can, else the exit status (0 on a stop request; 1 with the
    // reason at once when there is no network or no working audio, or when
    // not ready after 5 s).
    std::optional<int> startReady() {
        onMain([this] { controller().start(); });
        using Kind = ConnectionState::Kind;
        const auto isSettled = [this] {
            const auto kind = connectionState().kind;
            return kind == Kind::ready || kind == Kind::noNetwork || kind == Kind::audioError;
        };
        stop_.waitUntil(isSettled, std::chrono::seconds(5));
        const auto state = connectionState();
        if (state.kind == Kind::ready) return std::nullopt;
        if (stop_.isRequested()) return 0;
        std::cerr << "hollerhopper-cli: cannot talk: " << connectionEvent(state)["state"].get<std::string>()
                  << (isSettled() ? "\n" : " (not ready after 5 s)\n");
        return 1;
    }

    // Waits until `condition` (asked on the main thread whenever the peers or
    // the talkers change) holds, a stop is requested, or `timeout` passes.
    bool waitOnMain(std::function<bool()> condition, std::chrono::duration<double> timeout) {
        onMain([&] {
            isAwaitedMet_ = false;
            awaited_ = std::move(condition);
            checkAwaited();
        });
        const bool isMet = stop_.waitUntil([this] { return isAwaitedMet_.load(); }, timeout);
        onMain([this] { awaited_ = nullptr; });
        return isMet;
    }

    // Presses to the target: nothing when on air, else 1 with the reason. A
    // peer not listed yet is waited for a while: a program that just started
    // hears the others only once they answer. A refused direct press sends
    // nothing at all.
    std::optional<int> press(const Target& target = {}) {
        if (target.to)
            waitOnMain(
                [this, &target] {
                    const auto peer = controller().roster().find(*target.to);
                    return peer && !peer->address.empty() && peer->reach == Peer::Reach::heard;
                },
                peerWait);
        std::optional<TalkFailure> failure;
        std::optional<PTTController::Refusal> refusal;
        onMain([&] {
            if (target.isReply)
                refusal = controller().beginReply();
            else if (target.to)
                refusal = controller().beginTalkingTo(*target.to);
            else
                controller().beginTalking();
            if (!refusal && !controller().isTransmitting()) failure = controller().talkFailure();
        });
        if (refusal) {
            switch (*refusal) {
            case PTTController::Refusal::unknownPeer:
                std::cerr << "hollerhopper-cli: nobody called \"" << *target.to << "\" is on this network\n";
                break;
            case PTTController::Refusal::notReachable:
                std::cerr << "hollerhopper-cli: " << *target.to << " cannot be reached: its packets do not arrive here\n";
                break;
            case PTTController::Refusal::nobodyToReply:
                std::cerr << "hollerhopper-cli: nobody has talked to you in the last minute\n";
                break;
            }
            return 1;
        }
        if (!failure) return std::nullopt;
        std::cerr << "hollerhopper-cli: cannot talk: " << talkFailureText(*failure) << '\n';
        return 1;
    }

    // How long a command waits for the peer it talks to: two beacon intervals.
    static constexpr std::chrono::seconds peerWait{10};

    ConnectionState connectionState() {
        std::lock_guard lock(mutex_);
        return connectionState_;
    }

    // Releases and returns once the tail has run and the talk end is handed to
    // the transport; the shutdown then lets it leave.
    void release() {
        bool isOnAir = false;
        onMain([&] {
            isOnAir = controller().isTransmitting();
            controller().endTalking();
        });
        if (!isOnAir) return;
        std::unique_lock lock(mutex_);
        // Bounded only against a main thread that never runs the tail.
        talkEndSent_.wait_for(lock, std::chrono::seconds(5), [this] { return isTalkEndSent_; });
        isTalkEndSent_ = false;
    }

private:
    // On main.
    void checkAwaited() {
        if (!awaited_ || !awaited_()) return;
        awaited_ = nullptr;
        isAwaitedMet_ = true;
        stop_.wake();
    }

    std::shared_ptr<AsioExecutor> main_;
    std::function<bool()> awaited_;
    std::atomic<bool> isAwaitedMet_{false};
    StopSignal& stop_;
    std::unique_ptr<LinuxIntercom> intercom_;
    std::mutex mutex_;
    ConnectionState connectionState_;
    std::condition_variable talkEndSent_;
    bool isTalkEndSent_ = false;
};

std::optional<std::chrono::duration<double>> asDuration(const std::optional<double>& s) {
    if (!s) return std::nullopt;
    return std::chrono::duration<double>(*s);
}

// The peers' list (every instance but this one) with each peer's health, as
// JSON lines. No sound.
struct PeersOptions {
    std::string name = computerDisplayName();
    std::optional<double> seconds;
    ChannelOptions channel;
};

int runPeers(const PeersOptions& options, StopSignal& stop) {
    const auto channel = resolveChannel(options.channel);
    if (!channel) return 2;
    Session session(options.name, *channel, makeNullAudioPlatform(), stop, true, Events::presence);
    session.onMain([&] { session.controller().start(); });
    stop.wait(asDuration(options.seconds));
    return 0;
}

// How a transmission is encoded, and the stand-in for an older build.
struct CodecOptions {
    CodecChoice choice = CodecChoice::automatic;
    bool isPcmOnly = false;
};

void addCodecOptions(CLI::App* cmd, CodecOptions& codec, bool isTransmitting) {
    if (isTransmitting)
        cmd->add_option_function<std::string>(
               "--codec",
               [&codec](const std::string& word) {
                   codec.choice = word == "pcm" ? CodecChoice::pcm : word == "opus" ? CodecChoice::opus : CodecChoice::automatic;
               },
               "auto (default): compressed while every peer decodes it; pcm; or opus, refused when a peer cannot decode it")
            ->check(CLI::IsMember({"auto", "pcm", "opus"}));
    // For the labs: behave as a build from before compressed speech.
    cmd->add_flag("--pcm-only", codec.isPcmOnly, "Announce and decode PCM only")->group("");
}

// What peers answer a newcomer within: their encodings within 0.35 s, beacons within half a second.
constexpr double peerAnswerSeconds = 0.7;

std::string joinNames(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names) {
        if (!out.empty()) out += ", ";
        out += name.empty() ? "a peer with no name" : name;
    }
    return out;
}

// Sets the codec choice, starts, and for a compressed choice lets the peers
// answer before the first press decides: nothing to go on, or the exit status
// (1 when opus was asked for and a peer cannot decode it).
std::optional<int> startForCodec(Session& session, const CodecOptions& codec, StopSignal& stop) {
    session.onMain([&] {
        session.controller().setCodecChoice(codec.choice);
        session.controller().setDecodesOpus(!codec.isPcmOnly);
    });
    if (auto status = session.startReady()) return status;
    if (codec.choice == CodecChoice::pcm || codec.isPcmOnly) return std::nullopt;
    if (stop.wait(std::chrono::duration<double>(peerAnswerSeconds))) return 0;
    PeerEncodings::Verdict verdict;
    session.onMain([&] { verdict = session.controller().peerEncodings(); });
    if (codec.choice != CodecChoice::opus || verdict.withoutOpus.empty()) return std::nullopt;
    std::cerr << "hollerhopper-cli: not sending compressed speech: " << joinNames(verdict.withoutOpus)
              << " cannot decode it and would hear nothing (--codec auto sends PCM while they are there)\n";
    return 1;
}

struct ListenOptions {
    std::string name = computerDisplayName();
    bool isMuted = false;
    std::optional<std::string> recordDirectory;
    std::string audio = "pulse";
    std::optional<double> seconds;
    bool isCuesEnabled = true;
    ChannelOptions channel;
    CodecOptions codec;
};

int runListen(const ListenOptions& options, StopSignal& stop) {
    const auto channel = resolveChannel(options.channel);
    if (!channel) return 2;
    auto audio = options.audio == "none" ? makeNullAudioPlatform() : makePulseAudioPlatform();
    Session session(options.name, *channel, std::move(audio), stop, true);

    // The recorder hears what the controller hears, and names its spurts from
    // the roster. Without a directory it only reports each spurt's figures.
    const Roster& roster = session.controller().roster();
    auto recorder = std::make_unique<Recorder>(options.recordDirectory, session.controller().senderID(), session.main(),
                                               [&roster](const Uuid& id) { return roster.announcedName(id); });
    recorder->onRecorded = [&session](const Recorder::Recording& r) {
        Json event{{"event", r.file.empty() ? "spurt" : "recorded"}};
        if (!r.file.empty()) event["file"] = r.file;
        event["name"] = nullptr;
        if (!r.name.empty()) event["name"] = r.name;
        event["direct"] = r.isDirect;
        event["frames"] = r.frames;
        event["received"] = r.figures.received;
        event["concealed"] = r.figures.concealed;
        event["late"] = r.figures.late;
        event["codec"] = toString(r.encoding);
        // Playback's own figures for this talker, over its spurts so far.
        if (const auto p = session.controller().playout(r.sender)) {
            event["playout"] = {{"targetMs", std::lround(p->targetMs)}, {"cushionMs", std::lround(p->cushionMs)},
                                {"concealed", p->total.concealed}, {"late", p->total.late}};
        }
        printJsonLine(event);
    };
    recorder->onError = [](const std::string& message) {
        printJsonLine({{"event", "error"}, {"message", message + "; recording stopped"}});
    };

    session.onMain([&] {
        session.controller().onPacketHeard = [r = recorder.get()](const WalkiePacket& packet, const DatagramOrigin& origin) {
            r->handlePacket(packet, origin);
        };
        session.controller().setMuted(options.isMuted);
        session.controller().setCuesEnabled(options.isCuesEnabled);
        session.controller().setDecodesOpus(!options.codec.isPcmOnly);
        session.controller().start();
    });
    stop.wait(asDuration(options.seconds));

    bool hasFailed = false;
    session.onMain([&] {
        session.controller().onPacketHeard = nullptr;
        recorder->finish();
        hasFailed = recorder->hasFailed();
        recorder.reset();  // on the thread its timer runs on
    });
    return hasFailed ? 1 : 0;
}

// Waits until someone has talked to us directly and is done, up to the reply
// window; false on a stop request or when nobody did.
bool waitForDirectTalker(Session& session, StopSignal& stop) {
    const auto& roster = session.controller().roster();
    if (!session.waitOnMain([&roster] { return roster.replyTarget() && roster.talkers().empty(); },
                            std::chrono::duration<double>(RosterTiming{}.replyWindow)))
        return false;
    // Not over the end of their spurt: their program may still be sending it.
    return !stop.wait(std::chrono::milliseconds(500));
}

// Presses, lets `waitWhileTalking` return, releases, and makes sure the talk end
// went out. Scripted transmissions play no cues: nobody waits at their speaker
// for them. One-shot: not advertised.
int runTransmission(const std::string& name, const Channel& channel, std::unique_ptr<AudioPlatform> audio,
                    bool isNoiseSuppressing, const CodecOptions& codec, const Target& target, StopSignal& stop,
                    const std::function<void()>& waitWhileTalking) {
    Session session(name, channel, std::move(audio), stop, false);
    session.onMain([&] {
        session.controller().setCuesEnabled(false);
        session.controller().setNoiseSuppression(isNoiseSuppressing);
    });
    if (auto status = startForCodec(session, codec, stop)) return *status;
    if (target.isReply && !waitForDirectTalker(session, stop) && stop.isRequested()) return 0;
    if (auto status = session.press(target)) return *status;
    waitWhileTalking();
    session.release();
    return 0;
}

struct SayOptions {
    std::string file;
    int times = 1;
    std::string name = computerDisplayName();
    // A file is usually clean already.
    bool isNoiseSuppressing = false;
    Target target;
    ChannelOptions channel;
    CodecOptions codec;
};

// Each time a press of its own, a second after the last one's release.
int runSay(const SayOptions& options, StopSignal& stop) {
    const auto channel = resolveChannel(options.channel);
    if (!channel) return 2;
    std::atomic<int> delivered{0};
    std::unique_ptr<AudioPlatform> audio;
    try {
        // Opens and checks the file before anything is sent.
        audio = makeFileInputAudioPlatform(options.file, [&stop, &delivered] {
            ++delivered;
            stop.wake();
        });
    } catch (const std::exception& e) {
        std::cerr << "hollerhopper-cli: " << e.what() << '\n';
        return 2;
    }
    Session session(options.name, *channel, std::move(audio), stop, false);
    session.onMain([&] {
        session.controller().setCuesEnabled(false);
        session.controller().setNoiseSuppression(options.isNoiseSuppressing);
    });
    if (auto status = startForCodec(session, options.codec, stop)) return *status;
    if (options.target.isReply && !waitForDirectTalker(session, stop) && stop.isRequested()) return 0;
    for (int time = 1; time <= options.times; ++time) {
        if (time > 1 && stop.wait(std::chrono::seconds(1))) break;
        if (auto status = session.press(options.target)) return *status;
        stop.waitUntil([&] { return delivered >= time; }, std::chrono::duration<double>(maxSeconds));
        session.release();
        if (stop.isRequested()) break;
    }
    return 0;
}

struct TalkOptions {
    std::optional<double> seconds;
    std::string name = computerDisplayName();
    std::optional<std::string> key;
    bool isNoiseSuppressing = true;
    Target target;
    ChannelOptions channel;
    CodecOptions codec;
};

const char* keyStatusName(X11KeyGrab::Status status) {
    switch (status) {
    case X11KeyGrab::Status::grabbed: return "grabbed";
    case X11KeyGrab::Status::conflict: return "conflict";
    case X11KeyGrab::Status::noSuchKey: return "noSuchKey";
    case X11KeyGrab::Status::noDisplay: return "noDisplay";
    case X11KeyGrab::Status::connectionLost: return "connectionLost";
    }
    return "unknown";
}

// Transmits while the key is held, with the tray program's key logic, until
// interrupted or for the given seconds. Exits 1 when the key cannot be used.
int runTalkWithKey(const TalkOptions& options, const Channel& channel, const KeyChord& chord, StopSignal& stop) {
    Session session(options.name, channel, makePulseAudioPlatform(), stop, true);
    session.onMain([&] {
        session.controller().setCuesEnabled(false);
        session.controller().setNoiseSuppression(options.isNoiseSuppressing);
        // Each press decides on the peers known then; opus, where a peer
        // cannot decode it, falls back to PCM rather than leave it deaf.
        session.controller().setCodecChoice(options.codec.choice);
        session.controller().setDecodesOpus(!options.codec.isPcmOnly);
    });
    // The key is taken once a press can be heard.
    if (auto status = session.startReady()) return *status;
    std::atomic<int> status{0};
    X11KeyGrab grab;
    grab.onPress = [&session] {
        session.main().post([&session] { session.controller().beginTalking(); });
        printJsonLine({{"event", "key"}, {"state", "down"}});
    };
    grab.onRelease = [&session] {
        session.main().post([&session] { session.controller().endTalking(); });
        printJsonLine({{"event", "key"}, {"state", "up"}});
    };
    grab.onStatus = [&status, &stop, &chord](X11KeyGrab::Status s) {
        printJsonLine({{"event", "key"}, {"state", keyStatusName(s)}, {"key", chord.toString()}});
        if (s == X11KeyGrab::Status::grabbed) return;
        std::cerr << "hollerhopper-cli: cannot use the key " << chord.toString() << " (" << keyStatusName(s) << ")\n";
        status = 1;
        stop.request();
    };
    grab.start(chord);
    stop.wait(asDuration(options.seconds));
    grab.stop(); // a held key is released first
    session.release();
    return status;
}

int runTalk(const TalkOptions& options, StopSignal& stop) {
    const auto channel = resolveChannel(options.channel);
    if (!channel) return 2;
    if (options.key) return runTalkWithKey(options, *channel, *KeyChord::parse(*options.key), stop);  // checked when parsed
    return runTransmission(options.name, *channel, makePulseAudioPlatform(), options.isNoiseSuppressing, options.codec,
                           options.target, stop, [&] { stop.wait(asDuration(options.seconds)); });
}

void checkName(CLI::Option* option) {
    option->check([](const std::string& name) -> std::string {
        if (!isUsableName(name)) return "must be 1 to 63 bytes of UTF-8 on one line";
        return {};
    });
}

// --to and --reply, for the commands that transmit.
void addTarget(CLI::App* cmd, Target& target) {
    auto* to = cmd->add_option("--to", target.to, "Talk to this peer alone (its name as listed), not to everyone");
    cmd->add_flag("--reply", target.isReply,
                  "Wait (up to a minute) for someone to talk to this computer alone, and once they are done, answer them alone")
        ->excludes(to);
}

} // namespace

void addIntercomCommands(CLI::App& app, CommandBody& chosen) {
    auto listen = std::make_shared<ListenOptions>();
    auto* cmd = app.add_subcommand("listen", "Play what others say and print connection, peers and talker as JSON lines");
    checkName(cmd->add_option("--name", listen->name, "Name others see (default: this computer's name)"));
    cmd->add_flag("--mute", listen->isMuted, "Do not play received audio");
    cmd->add_option("--record", listen->recordDirectory, "Write each received talk spurt as a WAV file here");
    cmd->add_option("--audio", listen->audio, "Sound device: pulse (default) or none")
        ->check(CLI::IsMember({"pulse", "none"}));
    cmd->add_option("--seconds", listen->seconds, "Exit after this many seconds")->check(secondsValidator());
    addSwitch(cmd, "--cues", listen->isCuesEnabled, "Talk cues on the speaker: on (default) or off");
    addCodecOptions(cmd, listen->codec, false);
    addChannelOptions(cmd, listen->channel);
    cmd->callback([&chosen, listen] {
        checkChannelOptions(listen->channel);
        chosen = [listen](StopSignal& stop) { return runListen(*listen, stop); };
    });

    auto say = std::make_shared<SayOptions>();
    cmd = app.add_subcommand("say", "Transmit an audio file (any format and rate libsndfile reads) and exit");
    cmd->add_option("file", say->file, "The audio file")->required();
    cmd->add_option("--times", say->times, "Say it this many times, each a press of its own, a second apart")
        ->check(CLI::Range(1, 1000));
    checkName(cmd->add_option("--name", say->name, "Name others see (default: this computer's name)"));
    addSwitch(cmd, "--noise-suppression", say->isNoiseSuppressing, "Noise suppression and level control: on or off (default)");
    addCodecOptions(cmd, say->codec, true);
    addTarget(cmd, say->target);
    addChannelOptions(cmd, say->channel);
    cmd->callback([&chosen, say] {
        checkChannelOptions(say->channel);
        chosen = [say](StopSignal& stop) { return runSay(*say, stop); };
    });

    auto talk = std::make_shared<TalkOptions>();
    cmd = app.add_subcommand("talk", "Transmit the default microphone for some seconds, or while a key is held (X11)");
    cmd->add_option("--seconds", talk->seconds, "How long to talk; with --key, how long to run")
        ->check(secondsValidator());
    cmd->add_option("--key", talk->key, "Transmit while this key is held anywhere on the X display, e.g. F9 or ctrl+space")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                // A usage error, found before anything joins the network.
                const auto chord = KeyChord::parse(text);
                if (chord && X11KeyGrab::isKnownKeyName(*chord)) return {};
                return "not a key: " + text.substr(0, 40) + " (try F9, Pause or ctrl+space)";
            },
            "KEY"));
    checkName(cmd->add_option("--name", talk->name, "Name others see (default: this computer's name)"));
    addSwitch(cmd, "--noise-suppression", talk->isNoiseSuppressing, "Noise suppression and level control: on (default) or off");
    addCodecOptions(cmd, talk->codec, true);
    addTarget(cmd, talk->target);
    addChannelOptions(cmd, talk->channel);
    cmd->callback([&chosen, talk] {
        checkChannelOptions(talk->channel);
        if (!talk->key && !talk->seconds) throw CLI::RequiredError("--seconds (or --key)");
        if (talk->key && (talk->target.to || talk->target.isReply)) throw CLI::ValidationError("--key", "talks to everyone; --to and --reply go without it");
        chosen = [talk](StopSignal& stop) { return runTalk(*talk, stop); };
    });

    auto peers = std::make_shared<PeersOptions>();
    cmd = app.add_subcommand("peers", "Advertise this instance, send its beacons, and print the instances found (and whether they are heard) as JSON lines");
    checkName(cmd->add_option("--name", peers->name, "Name to advertise (default: this computer's name)"));
    cmd->add_option("--seconds", peers->seconds, "Exit after this many seconds")->check(secondsValidator());
    addChannelOptions(cmd, peers->channel);
    cmd->callback([&chosen, peers] {
        checkChannelOptions(peers->channel);
        chosen = [peers](StopSignal& stop) { return runPeers(*peers, stop); };
    });
}

} // namespace hh::cli
