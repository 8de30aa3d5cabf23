#include "tools/Commands.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <sstream>

namespace hh::cli {

void addCommands(CLI::App& app, CommandBody& chosen) {
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("hollerhopper-cli ") + HH_VERSION);
    addMonitorCommand(app, chosen);
    addIntercomCommands(app, chosen);
}

CLI::Validator secondsValidator() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            errno = 0;
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            const bool isNumber = !text.empty() && end == text.c_str() + text.size() && errno != ERANGE;
            if (isNumber && std::isfinite(value) && value > 0 && value <= maxSeconds)
                return {};
            std::ostringstream message;
            message << "must be a number of seconds more than 0 and at most " << std::fixed
                    << std::setprecision(0) << maxSeconds << " (a year), not " << text.substr(0, 40);
            return message.str();
        },
        "SECONDS");
}

std::optional<int> parseCommandLine(CLI::App& app, int argc, const char* const* argv, std::ostream& out,
                                    std::ostream& err) {
    // The top level has only --help and --version, so its first other word
    // must be the subcommand; for anything else CLI11 would only say that a
    // subcommand is required.
    const auto subcommands = app.get_subcommands([](const CLI::App*) { return true; });
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "-h" || word == "--help" || word == "--version")
            continue;
        if (!word.empty() && word.front() == '-') {
            err << "hollerhopper-cli: unknown option \"" << word.substr(0, 40)
                << "\" before the subcommand\nRun with --help for more information.\n";
            return 2;
        }
        const bool isKnown = std::any_of(subcommands.begin(), subcommands.end(),
                                         [&](const CLI::App* sub) { return sub->get_name() == word; });
        if (isKnown)
            break;
        std::string names;
        for (const CLI::App* sub : subcommands)
            names += (names.empty() ? "" : ", ") + sub->get_name();
        err << "hollerhopper-cli: unknown subcommand \"" << word.substr(0, 40) << "\" (expected one of: " << names
            << ")\nRun with --help for more information.\n";
        return 2;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        app.exit(e, out, err);
        return 0;
    } catch (const CLI::CallForAllHelp& e) {
        app.exit(e, out, err);
        return 0;
    } catch (const CLI::CallForVersion& e) {
        app.exit(e, out, err);
        return 0;
    } catch (const CLI::ParseError& e) {
        app.exit(e, out, err);
        return 2;
    }
    return std::nullopt;
}

} // namespace hh::cli
