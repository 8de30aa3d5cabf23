#include "tools/Cli.h"
#include "tools/MonitorEvents.h"

#include <gtest/gtest.h>

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

TEST(MonitorEvents, StateLineHasMessageOnlyWhenFailed) {
    EXPECT_EQ(stateEvent(Transport::State::ready()).dump(), R"({"event":"state","state":"ready"})");
    EXPECT_EQ(stateEvent(Transport::State::failed("No such device")).dump(),
              R"({"event":"state","state":"failed","message":"No such device"})");
}

TEST(MonitorEvents, ConnectionLineInTheWordsThePanelShows) {
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
}

} // namespace
} // namespace hh::cli
