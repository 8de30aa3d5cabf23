#include "tools/Cli.h"
#include "tools/Commands.h"

#include <iostream>

int main(int argc, char** argv) {
    // Before any thread exists, so every thread inherits the blocked signals.
    hh::cli::StopSignal stop;

    CLI::App app{"hollerhopper-cli: the headless Hollerhopper intercom and network diagnostic"};
    hh::cli::CommandBody chosen;
    hh::cli::addCommands(app, chosen);
    if (auto status = hh::cli::parseCommandLine(app, argc, argv, std::cout, std::cerr))
        return *status;
    try {
        return chosen ? chosen(stop) : 2;
    } catch (const std::exception& e) {
        std::cerr << "hollerhopper-cli: " << e.what() << '\n';
        return 2;
    }
}
