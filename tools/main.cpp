#include "tools/Cli.h"
#include "tools/Commands.h"

#include <iostream>

int main(int argc, char** argv) {
    // Before any thread exists, so every thread inherits the blocked signals.
    hh::cli::StopSignal stop;

    CLI::App app{"hollerhopper-cli: the headless Hollerhopper intercom and network diagnostic"};
    app.require_subcommand(1);
    hh::cli::CommandBody chosen;
    hh::cli::addMonitorCommand(app, chosen);
    hh::cli::addPeersCommand(app, chosen);
    hh::cli::addIntercomCommands(app, chosen);
    CLI11_PARSE(app, argc, argv);
    try {
        return chosen ? chosen(stop) : 2;
    } catch (const std::exception& e) {
        std::cerr << "hollerhopper-cli: " << e.what() << '\n';
        return 2;
    }
}
