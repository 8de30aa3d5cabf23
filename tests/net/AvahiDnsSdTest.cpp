#include "core/exec/AsioExecutor.h"
#include "core/net/linux/AvahiDnsSd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace hh {
namespace {

using namespace std::chrono_literals;

// Collects what a browser reports, from the executor thread, for the test thread.
struct Reports {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<DnsSdBrowserState> states;
    std::vector<std::vector<std::string>> results;

    void attach(DnsSdBrowser& browser) {
        browser.onState = [this](DnsSdBrowserState state) {
            std::lock_guard lock(mutex);
            states.push_back(std::move(state));
            changed.notify_all();
        };
        browser.onResultsChanged = [this](std::vector<DnsSdBrowseResult> found) {
            std::vector<std::string> names;
            for (const auto& r : found) names.push_back(r.serviceEndpoint ? r.serviceEndpoint->name : "?");
            std::lock_guard lock(mutex);
            results.push_back(std::move(names));
            changed.notify_all();
        };
    }
    template <class Predicate>
    bool waitFor(Predicate predicate, std::chrono::seconds limit = 5s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return predicate(*this); });
    }
    bool hasState(DnsSdBrowserState::Kind kind, std::optional<std::int32_t> code = std::nullopt) const {
        for (const auto& s : states)
            if (s.kind == kind && (!code || (s.error && s.error->code == *code))) return true;
        return false;
    }
    bool lastListHas(const std::string& name) const {
        if (results.empty()) return false;
        const auto& last = results.back();
        return std::find(last.begin(), last.end(), name) != last.end();
    }
};

class AvahiDnsSdTest : public ::testing::Test {
protected:
    ~AvahiDnsSdTest() override {
        // Platform objects go on their own thread, before it ends.
        queue.runAndWait([this] {
            listener.reset();
            browser.reset();
            otherBrowser.reset();
            platform.reset();
            otherPlatform.reset();
        });
        queue.runAndWait([] {});
    }

    std::shared_ptr<DnsSdBrowser> startBrowser(DnsSdPlatform& on, Reports& reports) {
        std::shared_ptr<DnsSdBrowser> made;
        queue.runAndWait([&] {
            made = on.makeBrowser("_hollerhopper._tcp", "local.");
            reports.attach(*made);
            made->start();
        });
        return made;
    }

    AsioExecutor queue{"test.discovery"};
    std::shared_ptr<DnsSdPlatform> platform = makeAvahiDnsSdPlatform(queue);
    std::shared_ptr<DnsSdPlatform> otherPlatform = makeAvahiDnsSdPlatform(queue);
    std::shared_ptr<DnsSdListener> listener;
    std::shared_ptr<DnsSdBrowser> browser;
    std::shared_ptr<DnsSdBrowser> otherBrowser;
    Reports reports;
    Reports otherReports;
};

TEST(AvahiErrorTest, PolicyAndMissingDaemonHaveTheirDnsSdCodes) {
    EXPECT_EQ(dnsSdErrorFromAvahi(-20).code, DnsSdErrorCode::policyDenied);  // access denied
    EXPECT_EQ(dnsSdErrorFromAvahi(-50).code, DnsSdErrorCode::policyDenied);  // not permitted
    EXPECT_EQ(dnsSdErrorFromAvahi(-26).code, DnsSdErrorCode::serviceNotRunning);
    EXPECT_EQ(dnsSdErrorFromAvahi(-23).code, DnsSdErrorCode::serviceNotRunning);
    EXPECT_EQ(dnsSdErrorFromAvahi(-9999).code, DnsSdErrorCode::unknown);
    EXPECT_FALSE(dnsSdErrorFromAvahi(-20).description.empty());
}

// No system bus at all (a socket path that does not exist): the browser waits
// with "service not running", which a permission probe can tell apart from a
// refusal, and nothing crashes while the client retries.
TEST_F(AvahiDnsSdTest, WithoutABusTheBrowserWaitsWithServiceNotRunning) {
    if (std::getenv("HH_DNSSD_LAB")) GTEST_SKIP() << "needs the bus to be missing";
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/hollerhopper-test.bus", 1);
    browser = startBrowser(*platform, reports);
    ASSERT_TRUE(reports.waitFor([](Reports& r) {
        return r.hasState(DnsSdBrowserState::Kind::waiting, DnsSdErrorCode::serviceNotRunning);
    }));
    std::lock_guard lock(reports.mutex);
    EXPECT_EQ(reports.states.front().kind, DnsSdBrowserState::Kind::setup);
    EXPECT_FALSE(reports.hasState(DnsSdBrowserState::Kind::ready));
    EXPECT_TRUE(reports.results.empty());
}

// The rest needs a lab host with its own bus: HH_DNSSD_LAB=nodaemon (bus, no
// avahi-daemon) or HH_DNSSD_LAB=daemon, set by the discovery lab script.
bool labPhase(const char* phase) {
    const char* value = std::getenv("HH_DNSSD_LAB");
    return value && std::string(value) == phase;
}

TEST_F(AvahiDnsSdTest, LabWithoutTheDaemonTheBrowserWaitsThenBecomesReady) {
    if (!labPhase("nodaemon")) GTEST_SKIP() << "lab only";
    browser = startBrowser(*platform, reports);
    ASSERT_TRUE(reports.waitFor([](Reports& r) {
        return r.hasState(DnsSdBrowserState::Kind::waiting, DnsSdErrorCode::serviceNotRunning);
    }));
    {
        std::lock_guard lock(reports.mutex);
        EXPECT_FALSE(reports.hasState(DnsSdBrowserState::Kind::ready));
    }
    // The lab script starts the daemon once this line appears.
    std::printf("waiting for the daemon\n");
    std::fflush(stdout);
    EXPECT_TRUE(reports.waitFor([](Reports& r) { return r.hasState(DnsSdBrowserState::Kind::ready); }, 10s));
}

TEST_F(AvahiDnsSdTest, LabOwnServiceIsHiddenFromItsOwnBrowserOnly) {
    if (!labPhase("daemon")) GTEST_SKIP() << "lab only";
    queue.runAndWait([&] {
        listener = platform->makeListener();
        listener->service = DnsSdListener::Service{"Lab Probe", "_hollerhopper._tcp", std::nullopt, std::nullopt};
        listener->start();
    });
    browser = startBrowser(*platform, reports);
    otherBrowser = startBrowser(*otherPlatform, otherReports);
    ASSERT_TRUE(reports.waitFor([](Reports& r) { return r.hasState(DnsSdBrowserState::Kind::ready); }));
    // Another client on the same machine sees the service; the advertiser's own browser never does.
    ASSERT_TRUE(otherReports.waitFor([](Reports& r) { return r.lastListHas("Lab Probe"); }));
    std::this_thread::sleep_for(1500ms);
    {
        std::lock_guard lock(reports.mutex);
        for (const auto& list : reports.results)
            EXPECT_EQ(std::find(list.begin(), list.end(), "Lab Probe"), list.end());
    }
    queue.runAndWait([&] { listener->cancel(); });
    EXPECT_TRUE(otherReports.waitFor([](Reports& r) { return !r.lastListHas("Lab Probe"); }))
        << "a cancelled listener stops advertising";
}

} // namespace
} // namespace hh
