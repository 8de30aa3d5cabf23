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

// A refusal and a missing daemon lead to different permission answers.
TEST(AvahiErrorTest, PolicyAndMissingDaemonHaveTheirDnsSdCodes) {
    for (auto [avahi, code] : {std::pair{-20, DnsSdErrorCode::policyDenied}, {-50, DnsSdErrorCode::policyDenied},
                               {-26, DnsSdErrorCode::serviceNotRunning}, {-23, DnsSdErrorCode::serviceNotRunning},
                               {-9999, DnsSdErrorCode::unknown}})
        EXPECT_EQ(dnsSdErrorFromAvahi(avahi).code, code) << avahi;
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
    bool isWaiting = false;
    std::promise<void> waiting;
    queue->runAndWait([&] {
        browser = platform->makeBrowser("_hollerhopper._tcp", "local.");
        browser->onState = [&](DnsSdBrowserState state) {
            states.push_back(state);
            if (state.kind == Kind::waiting && state.error && state.error->code == DnsSdErrorCode::serviceNotRunning &&
                !std::exchange(isWaiting, true))
                waiting.set_value();
        };
        browser->start();
    });
    ASSERT_EQ(waiting.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
    queue->runAndWait([&] {
        EXPECT_EQ(states.front().kind, Kind::setup);
        for (const auto& s : states) EXPECT_NE(s.kind, Kind::ready);
        // Platform objects go on their own thread, before it ends.
        browser.reset();
        platform.reset();
    });
}

} // namespace
} // namespace hh
