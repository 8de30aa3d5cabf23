#include "tools/Recorder.h"
#include "support/ManualExecutor.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <filesystem>

namespace hh::cli {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

struct RecorderTest : ::testing::Test {
    fs::path dir = fs::temp_directory_path() / ("hh-recorder-" + std::to_string(::getpid()));
    ManualExecutor executor;
    std::unique_ptr<Recorder> recorder = std::make_unique<Recorder>(dir, Uuid::random(), executor);
    std::vector<Recorder::Recording> recordings;
    std::vector<std::string> errors;

    RecorderTest() {
        recorder->onRecorded = [this](const Recorder::Recording& r) { recordings.push_back(r); };
        recorder->onError = [this](const std::string& m) { errors.push_back(m); };
    }
    ~RecorderTest() override { fs::remove_all(dir); }

    void send(const Uuid& id, PacketType type, std::uint32_t index = 0, std::uint8_t value = 0) {
        WalkiePacket p;
        p.type = type;
        p.senderID = id;
        p.frameIndex = index;
        if (type == PacketType::audio) p.payload.assign(640, value);
        if (type == PacketType::talkStart) p.payload = {'A', 'd', 'a'};
        recorder->handlePacket(p);
    }
    // The first byte of each frame of a recording: which frames it holds, in order.
    static std::vector<int> framesIn(const std::string& file) {
        SF_INFO info{};
        SNDFILE* f = sf_open(file.c_str(), SFM_READ, &info);
        if (!f) return {-1};
        std::vector<short> s(std::size_t(info.frames));
        sf_read_short(f, s.data(), info.frames);
        sf_close(f);
        std::vector<int> out;
        for (std::size_t i = 0; i < s.size(); i += 320) out.push_back(std::uint16_t(s[i]) & 0xFF);
        return out;
    }
};

// Overlapping spurts, each in its own file in index order; strays leave nothing.
// Floods of senders and names at a recorder are receive_lab's, on the real program.
TEST_F(RecorderTest, OneFilePerSpurtInIndexOrderAndNoneForStrays) {
    const Uuid ada = Uuid::random(), bob = Uuid::random();
    send(ada, PacketType::talkStart);
    // Ada: 0 2 1 3 3 5 6 7 then 4 (late by more than 60 ms); Bob, without talk start, 12 frames.
    const std::vector<std::uint32_t> adaOrder = {0, 2, 1, 3, 3, 5, 6, 7, 8, 4};
    for (std::size_t i = 0; i < 12; ++i) {
        if (i < adaOrder.size()) send(ada, PacketType::audio, adaOrder[i], std::uint8_t(adaOrder[i] + 1));
        send(bob, PacketType::audio, std::uint32_t(100 + i), std::uint8_t(i + 1));
    }
    for (int i = 0; i < 1000; ++i) send(Uuid::random(), PacketType::audio, 7);
    send(ada, PacketType::talkEnd, 10);
    executor.advance(500ms);
    recorder->checkTimeouts();
    ASSERT_EQ(recordings.size(), 2u);
    EXPECT_EQ(framesIn(recordings[0].file), (std::vector<int>{1, 2, 3, 4, 6, 7, 8, 9}));
    EXPECT_EQ(recordings[0].name, "Ada");
    EXPECT_EQ(recordings[0].frames, 8u);
    EXPECT_EQ(recordings[0].figures, (SpurtFigures{8, 2, 1}));  // 4 late and concealed, 9 lost at the end
    EXPECT_EQ(framesIn(recordings[1].file), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(recordings[1].figures, (SpurtFigures{12, 0, 0}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
    EXPECT_TRUE(errors.empty());
}

} // namespace
} // namespace hh::cli
