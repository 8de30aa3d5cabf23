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
        {{"--bogus"}, "--bogus"},
        {{"monitor", "--bogus"}, "--bogus"},
        {{"talk"}, "--seconds"},
        {{"say"}, "file"},
        {{"listen", "--audio", "alsa"}, "alsa"},
        {{"say", "x.wav", "--name", ""}, "63 bytes"},
        {{"monitor", "--count", "-1"}, "--count: must be a whole number"},
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
        for (const char* bad : {"nan", "inf", "-1", "0", "1e400", "31536001", "5s", ""}) {
            const Parsed p = parse({command, "--seconds", bad});
            EXPECT_EQ(p.status, 2) << command << " --seconds " << bad;
            // The bound reads as a plain number, not DBL_MAX's 300 digits.
            EXPECT_NE(p.err.find("at most 31536000 "), std::string::npos) << p.err;
            EXPECT_LT(p.err.size(), 200u) << p.err;
        }
        for (const char* good : {"0.5", "2", "31536000"}) {
            const Parsed p = parse({command, "--seconds", good});
            EXPECT_EQ(p.status, std::nullopt) << command << " --seconds " << good << ": " << p.err;
            EXPECT_TRUE(p.isChosen);
        }
    }
}

TEST(CommandLine, HelpAndVersionExitZeroOnStdout) {
    for (const auto& words : {std::vector<const char*>{"--help"}, {"--version"}, {"monitor", "--help"}}) {
        const Parsed p = parse(words);
        EXPECT_EQ(p.status, 0);
        EXPECT_FALSE(p.out.empty());
        EXPECT_TRUE(p.err.empty()) << p.err;
        EXPECT_FALSE(p.isChosen);
    }
    EXPECT_EQ(parse({"--version"}).out, std::string("hollerhopper-cli ") + HH_VERSION + "\n");
}

TEST(MonitorEvents, StateLinesInTheWordsThePanelShows) {
    using K = ConnectionState::Kind;
    const std::vector<std::pair<ConnectionState, std::string>> cases = {
        {{K::starting, {}}, "starting\u2026"},
        {{K::connecting, {}}, "connecting\u2026"},
        {{K::onAir, {}}, "on air"},
        {{K::stopped, {}}, "stopped"},
        {ConnectionState::networkError("Network is unreachable"), "network error: Network is unreachable"},
        {ConnectionState::audioError("no server"), "audio error: no server"},
    };
    for (const auto& [state, text] : cases)
        EXPECT_EQ(connectionEvent(state), (Json{{"event", "connection"}, {"state", text}}));
    // The transport's own state: a message only when failed.
    EXPECT_EQ(stateEvent(Transport::State::ready()).dump(), R"({"event":"state","state":"ready"})");
    EXPECT_EQ(stateEvent(Transport::State::failed("No such device")).dump(),
              R"({"event":"state","state":"failed","message":"No such device"})");
}

} // namespace
} // namespace hh::cli
