#include "app/model/BrowserProbe.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace hh {
namespace {

// Shaped like the DNS-SD layer's browser.
struct Browser {
    struct Error {
        std::int32_t code;
        std::string description;
    };
    struct State {
        enum class Kind { setup, ready, waiting, failed, cancelled };
        Kind kind;
        std::optional<Error> error;
    };
    std::function<void(State)> onState;
    int starts = 0, cancels = 0;
    void start() { ++starts; }
    void cancel() { ++cancels; }
};

using Kind = LocalNetworkProbeState::Kind;
using BK = Browser::State::Kind;

TEST(BrowserProbeTest, ForwardsEveryStateWithItsDnsSdCode) {
    auto browser = std::make_shared<Browser>();
    std::vector<LocalNetworkProbeState> reports;
    {
        BrowserProbe<Browser> probe(browser);
        probe.onState = [&](LocalNetworkProbeState s) { reports.push_back(s); };
        probe.start();
        EXPECT_EQ(browser->starts, 1);
        browser->onState({BK::setup, std::nullopt});
        browser->onState({BK::waiting, Browser::Error{-65570, "policy"}});
        browser->onState({BK::waiting, Browser::Error{-65563, "no daemon"}});
        browser->onState({BK::ready, std::nullopt});
        browser->onState({BK::failed, Browser::Error{-65537, "?"}});
        browser->onState({BK::cancelled, std::nullopt});
        probe.cancel();
    }
    EXPECT_EQ(browser->cancels, 1);  // not again on destruction
    EXPECT_EQ(reports, (std::vector<LocalNetworkProbeState>{{Kind::setup, {}},
                                                            {Kind::waiting, -65570},
                                                            {Kind::waiting, -65563},
                                                            {Kind::ready, {}},
                                                            {Kind::failed, -65537},
                                                            {Kind::cancelled, {}}}));
}

TEST(BrowserProbeTest, DestructionCancelsTheBrowser) {
    auto browser = std::make_shared<Browser>();
    { BrowserProbe<Browser>(browser).start(); }
    EXPECT_EQ(browser->cancels, 1);
}

} // namespace
} // namespace hh
