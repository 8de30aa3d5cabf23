#include "tools/Cli.h"
#include "tools/Commands.h"


#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

namespace hh::cli {
namespace {

std::string computerName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return name;
    return "Linux";
}

struct PeersOptions {
    std::string name = computerName();
    std::optional<double> seconds;
};

int runPeers(const PeersOptions& options, StopSignal& stop) {
    // A DNS-SD instance name is at most 63 bytes of UTF-8.
    if (options.name.empty() || options.name.size() > 63 || !isValidUtf8(options.name)) {
        std::cerr << "hollerhopper-cli: --name must be 1 to 63 bytes of UTF-8\n";
        return 2;
    }
    return runPeers(options.name, options.seconds, stop);
}

} // namespace

void addPeersCommand(CLI::App& app, CommandBody& chosen) {
    auto options = std::make_shared<PeersOptions>();
    auto* cmd = app.add_subcommand("peers", "Advertise this instance, send its beacons, and print the instances found (and whether they are heard) as JSON lines");
    cmd->add_option("--name", options->name, "Name to advertise (default: this computer's name)");
    cmd->add_option("--seconds", options->seconds, "Exit after this many seconds")->check(CLI::PositiveNumber);
    cmd->callback([&chosen, options] {
        chosen = [options](StopSignal& stop) { return runPeers(*options, stop); };
    });
}

} // namespace hh::cli
