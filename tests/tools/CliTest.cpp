#include "tools/Cli.h"
#include "tools/Commands.h"
#include "tools/MonitorEvents.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

namespace hh::cli {
namespace {

TEST(MonitorEvents, PacketLineIsValidJsonWhateverTheName) {
    WalkiePacket p;
    p.type = PacketType::talkStart;
    p.senderID = *Uuid::parse("00112233-4455-6677-8899-AABBCCDDEEFF");
    p.sequence = 4294967295u;
    p.frameIndex = 3;
    p.payload = {'A', '"', '\\', '\n'};
    auto event = packetEvent(p);
    EXPECT_EQ(event.dump(),
              R"({"event":"packet","type":"talkStart","sender":"00112233-4455-6677-8899-aabbccddeeff",)"
              R"("sequence":4294967295,"frameIndex":3,"payloadBytes":4,"name":"A\"\\\n"})");

    p.payload = {0xFF, 0xFE, 'x'};
    event = packetEvent(p);
    EXPECT_FALSE(event.contains("name"));
    EXPECT_NO_THROW(Json::parse(event.dump()));

    p.type = PacketType::audio;
    p.payload = {'A'};
    EXPECT_FALSE(packetEvent(p).contains("name"));
}

struct Parsed {
    std::optional<int> status;
    std::string out, err;
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
    parsed.out = out.str();
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
    };
    for (const auto& c : cases) {
        const Parsed p = parse(c.words);
        EXPECT_EQ(p.status, 2) << c.said << ": " << p.err;
        EXPECT_NE(p.err.find(c.said), std::string::npos) << p.err;
        EXPECT_FALSE(p.isChosen);
    }
}

TEST(CommandLine, SecondsIsAFinitePositiveNumberForEverySubcommand) {
    for (const char* command : {"monitor", "peers", "listen", "talk"}) {
        for (const char* bad : {"nan", "inf", "0", "1e400", "31536001"}) {
            const Parsed p = parse({command, "--seconds", bad});
            EXPECT_EQ(p.status, 2) << command << " --seconds " << bad;
            // The bound reads as a plain number, not DBL_MAX's 300 digits.
            EXPECT_NE(p.err.find("at most 31536000 "), std::string::npos) << p.err;
        }
        const Parsed p = parse({command, "--seconds", "0.5"});
        EXPECT_EQ(p.status, std::nullopt) << command << ": " << p.err;
        EXPECT_TRUE(p.isChosen);
    }
}

// The words users already see, in the CLI's JSON.
TEST(MonitorEvents, ConnectionStatesInTheWordsThePanelShows) {
    using K = ConnectionState::Kind;
    const std::vector<std::pair<ConnectionState, std::string>> cases = {
        {{K::starting, {}}, "starting\u2026"},
        {{K::onAir, {}}, "on air"},
        {ConnectionState::networkError("Network is unreachable"), "network error: Network is unreachable"},
        {ConnectionState::audioError("no server"), "audio error: no server"},
    };
    for (const auto& [state, text] : cases)
        EXPECT_EQ(connectionEvent(state), (Json{{"event", "connection"}, {"state", text}}));
}

} // namespace
} // namespace hh::cli
