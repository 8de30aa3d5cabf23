#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
    CLI::App app{"hollerhopper-cli: the headless Hollerhopper intercom and network diagnostic"};
    app.require_subcommand(1);
    app.add_subcommand("monitor", "print every packet on the group as JSON lines");
    CLI11_PARSE(app, argc, argv);
    return 0;
}
