// The Avahi layer against real daemons is exercised by discovery_lab.sh and the
// permission lab; here only what needs no daemon.
#include "core/exec/AsioExecutor.h"
#include "core/net/linux/AvahiDnsSd.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <utility>

namespace hh {
namespace {

using Kind = DnsSdBrowserState::Kind;

TEST(AvahiErrorTest, PolicyAndMissingDaemonHaveTheirDnsSdCodes) {
    EXPECT_EQ(dnsSdErrorFromAvahi(-20).code, DnsSdErrorCode::policyDenied);  // access denied
    EXPECT_EQ(dnsSdErrorFromAvahi(-50).code, DnsSdErrorCode::policyDenied);  // not permitted
    EXPECT_EQ(dnsSdErrorFromAvahi(-26).code, DnsSdErrorCode::serviceNotRunning);
    EXPECT_EQ(dnsSdErrorFromAvahi(-23).code, DnsSdErrorCode::serviceNotRunning);
    EXPECT_EQ(dnsSdErrorFromAvahi(-9999).code, DnsSdErrorCode::unknown);
    EXPECT_FALSE(dnsSdErrorFromAvahi(-20).description.empty());
}

// No system bus at all: the browser reports setup, then waits with "service not
// running", which a permission probe tells apart from a refusal; nothing crashes
// while the client retries.
TEST(AvahiDnsSdTest, WithoutABusTheBrowserWaitsWithServiceNotRunning) {
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/hollerhopper-test.bus", 1);
    auto queue = std::make_shared<AsioExecutor>("test.discovery");
    std::shared_ptr<DnsSdPlatform> platform = makeAvahiDnsSdPlatform(queue);
    std::shared_ptr<DnsSdBrowser> browser;
    std::vector<DnsSdBrowserState> states;  // only touched on the queue
    bool hasResults = false, isWaiting = false;
    std::promise<void> waiting;
    queue->runAndWait([&] {
        browser = platform->makeBrowser("_hollerhopper._tcp", "local.");
        browser->onState = [&](DnsSdBrowserState state) {
            states.push_back(state);
            if (state.kind == Kind::waiting && state.error && state.error->code == DnsSdErrorCode::serviceNotRunning &&
                !std::exchange(isWaiting, true))
                waiting.set_value();
        };
        browser->onResultsChanged = [&](std::vector<DnsSdBrowseResult>) { hasResults = true; };
        browser->start();
    });
    ASSERT_EQ(waiting.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    queue->runAndWait([&] {
        EXPECT_EQ(states.front().kind, Kind::setup);
        for (const auto& s : states) EXPECT_NE(s.kind, Kind::ready);
        EXPECT_FALSE(hasResults);
        // Platform objects go on their own thread, before it ends.
        browser.reset();
        platform.reset();
    });
}

} // namespace
} // namespace hh
