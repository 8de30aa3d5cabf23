#include "core/log/Log.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace hh {
namespace {

class LogTest : public ::testing::Test {
protected:
    void TearDown() override { setLogLevel(saved); }
    LogCapture captured;
    LogLevel saved = logLevel();
};

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

} // namespace
} // namespace hh
