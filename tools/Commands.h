#pragma once

// Each subcommand adds itself to the app; main() runs the one chosen.
#include <CLI/CLI.hpp>

#include <functional>
#include <optional>
#include <ostream>

namespace hh::cli {

class StopSignal;
// A subcommand's body; returns the exit status.
using CommandBody = std::function<int(StopSignal&)>;

// The whole command line: every subcommand, --help and --version.
void addCommands(CLI::App& app, CommandBody& chosen);

// Parses argv into `app` (built by addCommands). Returns the exit status when
// the program ends here: 0 after --help or --version, 2 with CLI11's message on
// `err` for every usage error; nullopt when the chosen subcommand should run.
std::optional<int> parseCommandLine(CLI::App& app, int argc, const char* const* argv, std::ostream& out,
                                    std::ostream& err);

// --seconds, the same for every subcommand: a finite number of seconds, more
// than 0 and at most a year (so it always fits a clock's duration).
inline constexpr double maxSeconds = 365.0 * 24 * 3600;
CLI::Validator secondsValidator();

void addMonitorCommand(CLI::App& app, CommandBody& chosen);
// listen, say, talk and peers: the headless intercom.
void addIntercomCommands(CLI::App& app, CommandBody& chosen);

} // namespace hh::cli
