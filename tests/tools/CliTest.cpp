#include "tools/Cli.h"
#include "tools/Commands.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace hh::cli {
namespace {

struct Parsed {
    std::optional<int> status;
    std::string err;
    bool isChosen = false;
};

Parsed parse(std::vector<const char*> words) {
    words.insert(words.begin(), "hollerhopper-cli");
    CLI::App app;
    CommandBody chosen;
    addCommands(app, chosen);
    std::ostringstream out, err;
    Parsed parsed;
    parsed.status = parseCommandLine(app, int(words.size()), words.data(), out, err);
    parsed.err = err.str();
    parsed.isChosen = bool(chosen);
    return parsed;
}

TEST(CommandLine, UsageErrorsExitTwoWithAMessage) {
    const struct {
        std::vector<const char*> words;
        std::string said;  // in the message
    } cases[] = {
        {{}, "subcommand"},
        {{"frobnicate", "--seconds", "1"}, "unknown subcommand \"frobnicate\""},
        {{"monitor", "--bogus"}, "--bogus"},
        {{"talk"}, "--seconds"},
        {{"listen", "--audio", "alsa"}, "alsa"},
        {{"say", "x.wav", "--name", ""}, "63 bytes"},
        {{"monitor", "--count", "1.5"}, "--count: must be a whole number"},
        // --seconds is finite and positive, its bound a plain number (not DBL_MAX's 300 digits).
        {{"monitor", "--seconds", "nan"}, "at most 31536000 "},
        {{"talk", "--seconds", "31536001"}, "at most 31536000 "},
        // A key X has no name for is found while parsing, before anything joins the network.
        {{"talk", "--key", "F99"}, "not a key: F99"},
        // A private channel needs its passphrase from a file, never from the command line.
        {{"listen", "--channel", "Office"}, "--passphrase-file"},
        {{"monitor", "--passphrase-file", "-"}, "--channel"},
        {{"say", "x.wav", "--channel", "Office", "--passphrase", "secret"}, "--passphrase"},
    };
    for (const auto& c : cases) {
        const Parsed p = parse(c.words);
        EXPECT_EQ(p.status, 2) << c.said << ": " << p.err;
        EXPECT_NE(p.err.find(c.said), std::string::npos) << p.err;
        EXPECT_FALSE(p.isChosen);
    }
}

} // namespace
} // namespace hh::cli
