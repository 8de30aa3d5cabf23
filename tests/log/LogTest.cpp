#include "core/log/Log.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace hh {
namespace {

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { setLogLevel(saved); }
    LogCapture captured;
    LogLevel saved = logLevel();
};

TEST_F(LogTest, MessagesBelowTheLevelAreNeitherWrittenNorFormatted) {
    setLogLevel(LogLevel::info);
    int formatted = 0;
    auto count = [&] { return ++formatted; };
    HH_LOG_DEBUG(logcat::net, "packet " << count());
    HH_LOG_INFO(logcat::net, "joined " << count());
    EXPECT_EQ(formatted, 1);
    ASSERT_EQ(captured.lines.size(), 1u);
    EXPECT_EQ(captured.lines[0], "net: joined 1");
}

TEST_F(LogTest, RepeatedFailureIsLoggedWhenItStartsChangesAndEnds) {
    setLogLevel(LogLevel::info);
    FailureLog log(logcat::discovery, "browsing");
    log.succeeded(); // nothing was failing
    for (int i = 0; i < 100; ++i) log.failed("daemon not running");
    EXPECT_TRUE(log.isFailing());
    log.failed("access denied");
    log.failed("access denied");
    log.succeeded();
    log.succeeded();
    EXPECT_FALSE(log.isFailing());
    log.failed("daemon not running");
    EXPECT_EQ(captured.lines, (std::vector<std::string>{
                                  "discovery: browsing: daemon not running",
                                  "discovery: browsing: access denied",
                                  "discovery: browsing: working again",
                                  "discovery: browsing: daemon not running",
                              }));
}

TEST(LogStderrTest, LinesFromManyThreadsStayWhole) {
    // Under TSan this also checks the level switch and the writer for races.
    testing::internal::CaptureStderr();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) HH_LOG_WARNING(logcat::audio, "thread " << t << " line " << i);
        });
    for (auto& thread : threads) thread.join();
    std::istringstream out(testing::internal::GetCapturedStderr());
    int lines = 0;
    for (std::string line; std::getline(out, line); ++lines)
        EXPECT_TRUE(std::regex_match(line, std::regex("hollerhopper: warning audio: thread \\d line \\d+"))) << line;
    EXPECT_EQ(lines, 200);
}

} // namespace
} // namespace hh
