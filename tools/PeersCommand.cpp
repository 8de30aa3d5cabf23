#include "tools/Cli.h"
#include "tools/Commands.h"
#include "tools/MonitorEvents.h"

#include "core/env/linux/ComputerName.h"
#include "core/exec/AsioExecutor.h"
#include "core/net/Discovery.h"
#include "core/net/linux/AvahiDnsSd.h"

#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace hh::cli {
namespace {

struct PeersOptions {
    std::string name = computerDisplayName();
    std::optional<double> seconds;
};

int runPeers(const PeersOptions& options, StopSignal& stop) {
    // A DNS-SD instance name is at most 63 bytes of UTF-8.
    if (options.name.empty() || options.name.size() > 63 || !isValidUtf8(options.name)) {
        std::cerr << "hollerhopper-cli: --name must be 1 to 63 bytes of UTF-8\n";
        return 2;
    }
    auto queue = std::make_shared<AsioExecutor>("hollerhopper.discovery");
    auto platform = makeAvahiDnsSdPlatform(*queue);
    auto discovery = std::make_shared<Discovery>(options.name, queue, platform);
    discovery->onPeersChanged = [](std::vector<Peer> peers) {
        printJsonLine(peersEvent(peers));
    };
    discovery->start();
    if (options.seconds)
        stop.wait(std::chrono::duration<double>(*options.seconds));
    else
        stop.wait();
    discovery->stop();
    // Withdraw the advertisement and close the client on their own thread before it ends.
    queue->runAndWait([&] {
        discovery.reset();
        platform.reset();
    });
    return 0;
}

} // namespace

void addPeersCommand(CLI::App& app, CommandBody& chosen) {
    auto options = std::make_shared<PeersOptions>();
    auto* cmd = app.add_subcommand("peers", "Advertise this instance and print the instances found as JSON lines");
    cmd->add_option("--name", options->name, "Name to advertise (default: this computer's name)");
    cmd->add_option("--seconds", options->seconds, "Exit after this many seconds")->check(CLI::PositiveNumber);
    cmd->callback([&chosen, options] {
        chosen = [options](StopSignal& stop) { return runPeers(*options, stop); };
    });
}

} // namespace hh::cli
