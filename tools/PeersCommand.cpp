#include "tools/ChannelOptions.h"
#include "tools/Cli.h"
#include "tools/Commands.h"
#include "tools/MonitorEvents.h"

#include "core/env/linux/ComputerName.h"
#include "core/exec/AsioExecutor.h"
#include "core/net/Discovery.h"
#include "core/net/Transport.h"
#include "core/net/linux/AvahiDnsSd.h"
#include "core/net/linux/LinuxNetworkPlatform.h"
#include "core/ptt/PresenceTracker.h"

#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace hh::cli {

Json peersEvent(const std::vector<Peer>& peers) {
    auto list = Json::array();
    for (const auto& peer : peers)
        list.push_back({{"id", peer.id},
                        {"name", peer.name},
                        {"heard", peer.reach == Peer::Reach::heard},
                        {"responding", peer.reach != Peer::Reach::notResponding},
                        {"source", peer.isBeaconOnly ? "beacons" : "dns-sd"}});
    return {{"event", "peers"}, {"peers", std::move(list)}};
}

Json inboundEvent(bool isBlocked) { return {{"event", "inbound"}, {"blocked", isBlocked}}; }

namespace {

struct PeersOptions {
    std::string name = computerDisplayName();
    std::optional<double> seconds;
    ChannelOptions channel;
};

// Discovery's list as it is (every instance but this one), with each peer's
// health from the group: beacons out, every packet in. No sound.
int runPeers(const PeersOptions& options, StopSignal& stop) {
    // A DNS-SD instance name is at most 63 bytes of UTF-8.
    if (options.name.empty() || options.name.size() > 63 || !isValidUtf8(options.name)) {
        std::cerr << "hollerhopper-cli: --name must be 1 to 63 bytes of UTF-8\n";
        return 2;
    }
    const auto channel = resolveChannel(options.channel);
    if (!channel) return 2;
    auto main = std::make_shared<AsioExecutor>("hollerhopper.main");
    auto queue = std::make_shared<AsioExecutor>("hollerhopper.discovery");
    auto transportQueue = std::make_shared<AsioExecutor>("hollerhopper.transport");
    auto platform = makeAvahiDnsSdPlatform(queue);
    auto discovery = std::make_shared<Discovery>(options.name, platform);
    auto transport = std::make_shared<Transport>(makeLinuxNetworkPlatform(transportQueue));
    const Uuid ownID = Uuid::random();
    auto presence = std::make_shared<PresenceTracker>(main, ownID);

    std::uint32_t sequence = 0;  // on main
    presence->onBeacon = [&transport, &sequence, ownID, name = options.name] {
        WalkiePacket packet;
        packet.type = PacketType::hello;
        packet.senderID = ownID;
        packet.sequence = sequence++;
        packet.payload.assign(name.begin(), name.end());
        transport->send(packet);
    };
    std::weak_ptr<PresenceTracker> weak = presence;
    presence->onPeersChanged = [weak] {
        if (auto p = weak.lock()) printJsonLine(peersEvent(p->peers()));
    };
    presence->onInboundBlockedChanged = [weak] {
        if (auto p = weak.lock()) printJsonLine(inboundEvent(p->isInboundBlocked()));
    };
    discovery->onPeersChanged = [weak, main](std::vector<Peer> peers) {
        main->post([weak, peers = std::move(peers)]() mutable {
            if (auto p = weak.lock()) p->setDnsSdPeers(std::move(peers));
        });
    };
    discovery->onBrowseStateChanged = [weak, main](Discovery::BrowseState state) {
        main->post([weak, isBrowsing = state == Discovery::BrowseState::browsing] {
            if (auto p = weak.lock()) p->setDnsSdAvailable(isBrowsing);
        });
    };
    transport->onState = [weak, main](const Transport::State& state) {
        main->post([weak, isOnAir = state.kind == Transport::State::Kind::ready] {
            if (auto p = weak.lock()) p->setOnAir(isOnAir);
        });
    };
    transport->onPacket = [weak, main](const WalkiePacket& packet) {
        main->post([weak, packet] {
            if (auto p = weak.lock()) p->packetReceived(packet);
        });
    };
    main->runAndWait([&] {
        presence->start();
        if (channel->isPrivate()) presence->setDnsSdAvailable(false);
    });
    transport->setChannel(*channel);
    transport->start();
    // On a private channel nothing goes to DNS-SD: the peers are those whose beacons authenticate.
    if (!channel->isPrivate()) discovery->start();
    if (options.seconds)
        stop.wait(std::chrono::duration<double>(*options.seconds));
    else
        stop.wait();
    discovery->stop();
    transport->stop();
    main->runAndWait([&] {
        presence->stop();
        presence.reset();
    });
    // Withdraw the advertisement and close the client on their own thread before it ends.
    queue->runAndWait([&] {
        discovery.reset();
        platform.reset();
    });
    // Let the stop (and its cancelled report) run before the transport goes.
    transportQueue->runAndWait([] {});
    transportQueue->runAndWait([&] { transport.reset(); });
    main->runAndWait([] {});
    return 0;
}

} // namespace

void addPeersCommand(CLI::App& app, CommandBody& chosen) {
    auto options = std::make_shared<PeersOptions>();
    auto* cmd = app.add_subcommand("peers", "Advertise this instance, send its beacons, and print the instances found (and whether they are heard) as JSON lines");
    cmd->add_option("--name", options->name, "Name to advertise (default: this computer's name)");
    cmd->add_option("--seconds", options->seconds, "Exit after this many seconds")->check(secondsValidator());
    addChannelOptions(cmd, options->channel);
    cmd->callback([&chosen, options] {
        checkChannelOptions(options->channel);
        chosen = [options](StopSignal& stop) { return runPeers(*options, stop); };
    });
}

} // namespace hh::cli
