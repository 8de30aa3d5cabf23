#include "tools/Cli.h"
#include "tools/Commands.h"

namespace hh::cli {

void addMonitorCommand(CLI::App& app, CommandBody& chosen) {
    auto* cmd = app.add_subcommand("monitor", "Print the group's state and every packet as JSON lines");
    cmd->callback([&chosen] {
        chosen = [](StopSignal&) { return 0; };
    });
}

} // namespace hh::cli
