#pragma once

// Each subcommand adds itself to the app; main() runs the one chosen.
#include <CLI/CLI.hpp>

#include <functional>

namespace hh::cli {

class StopSignal;
// A subcommand's body; returns the exit status.
using CommandBody = std::function<int(StopSignal&)>;

void addMonitorCommand(CLI::App& app, CommandBody& chosen);
void addPeersCommand(CLI::App& app, CommandBody& chosen);
// listen, say and talk: the headless intercom.
void addIntercomCommands(CLI::App& app, CommandBody& chosen);

} // namespace hh::cli
