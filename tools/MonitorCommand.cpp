#include "core/exec/AsioExecutor.h"
#include "core/net/Transport.h"
#include "core/wire/AudioEncodings.h"
#include "core/net/linux/LinuxNetworkPlatform.h"
#include "tools/ChannelOptions.h"
#include "tools/Cli.h"
#include "tools/Commands.h"
#include "tools/MonitorEvents.h"

#include <atomic>
#include <string>

namespace hh::cli {

Json stateEvent(const Transport::State& state) {
    // Our own stop is no cancellation to the user: it ends as "stopped".
    const bool isStopped = state.kind == Transport::State::Kind::cancelled;
    Json event{{"event", "state"}, {"state", isStopped ? "stopped" : toString(state.kind)}};
    if (state.kind == Transport::State::Kind::failed) event["message"] = state.message;
    return event;
}

Json packetEvent(const WalkiePacket& packet, const DatagramOrigin& origin) {
    Json event{{"event", "packet"},
                         {"type", toString(packet.type)},
                         {"sender", packet.senderID.toString()},
                         {"sequence", packet.sequence},
                         {"frameIndex", packet.frameIndex},
                         {"payloadBytes", packet.payload.size()}};
    if (packet.type == PacketType::talkStart || packet.type == PacketType::hello) {
        const std::string_view name(reinterpret_cast<const char*>(packet.payload.data()), packet.payload.size());
        if (isValidUtf8(name)) event["name"] = name;
    }
    event["from"] = origin.sourceAddress;
    event["direct"] = origin.isDirect;
    if (packet.type == PacketType::encodings) {
        if (const auto announcement = EncodingAnnouncement::decode(packet.payload)) {
            if (isValidUtf8(announcement->name)) event["name"] = announcement->name;
            event["decodes"] = announcement->decodesOpus ? Json::array({"pcm", "opus"}) : Json::array({"pcm"});
        }
    }
    return event;
}

namespace {

struct MonitorOptions {
    std::optional<double> seconds;
    std::optional<std::uint64_t> count;
    ChannelOptions channel;
};

int runMonitor(const MonitorOptions& options, StopSignal& stop) {
    const auto channel = resolveChannel(options.channel);
    if (!channel) return 2;
    auto queue = std::make_shared<AsioExecutor>("org.hollerhopper.transport");
    auto transport = std::make_shared<Transport>(makeLinuxNetworkPlatform(queue));
    std::atomic<std::uint64_t> received{0};
    transport->onState = [](const Transport::State& state) { printJsonLine(stateEvent(state)); };
    transport->onPacket = [&](const WalkiePacket& packet, const DatagramOrigin& origin) {
        if (options.count && received >= *options.count) return;
        printJsonLine(packetEvent(packet, origin));
        if (options.count && ++received >= *options.count) stop.request();
    };
    transport->onWrongPassphrase = [](bool isActive) { printJsonLine(wrongPassphraseEvent(isActive)); };
    transport->setChannel(*channel);
    transport->start();
    if (options.count && *options.count == 0) stop.request();
    stop.wait(options.seconds ? std::optional(std::chrono::duration<double>(*options.seconds)) : std::nullopt);
    transport->stop();
    // Let the stop (and its cancelled report) run before the transport goes.
    queue->runAndWait([] {});
    queue->runAndWait([] {});
    transport.reset();
    return 0;
}

} // namespace

void addMonitorCommand(CLI::App& app, CommandBody& chosen) {
    auto options = std::make_shared<MonitorOptions>();
    auto* cmd = app.add_subcommand("monitor", "Join the group and print its state and every packet as JSON lines");
    cmd->add_option("--seconds", options->seconds, "Exit after this many seconds")->check(secondsValidator());
    cmd->add_option("--count", options->count, "Exit after this many packets")->check(CLI::Validator(
        [](std::string& text) -> std::string {
            // Whole and not negative (CLI11 alone would wrap -1 round to 2^64 - 1).
            if (!text.empty() && text.size() <= 19 && text.find_first_not_of("0123456789") == std::string::npos)
                return {};
            return "must be a whole number of packets, 0 or more";
        },
        "N"));
    addChannelOptions(cmd, options->channel);
    cmd->callback([&chosen, options] {
        checkChannelOptions(options->channel);
        chosen = [options](StopSignal& stop) { return runMonitor(*options, stop); };
    });
}

} // namespace hh::cli
