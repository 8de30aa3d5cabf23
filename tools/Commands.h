#pragma once

// Each subcommand adds itself to the app; main() runs the one chosen.
#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace hh::cli {

class StopSignal;
// A subcommand's body; returns the exit status.
using CommandBody = std::function<int(StopSignal&)>;

void addMonitorCommand(CLI::App& app, CommandBody& chosen);
void addPeersCommand(CLI::App& app, CommandBody& chosen);
// listen, say and talk: the headless intercom.
void addIntercomCommands(CLI::App& app, CommandBody& chosen);
// The controller, muted and without sound, printing its peers and inbound events.
int runPeers(const std::string& name, std::optional<double> seconds, StopSignal& stop);

} // namespace hh::cli
