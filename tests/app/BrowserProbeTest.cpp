#include "app/model/BrowserProbe.h"

#include <gtest/gtest.h>

namespace hh {
namespace {

// Shaped like the DNS-SD layer's browser.
struct Browser {
    struct State {
        enum class Kind { setup, ready, waiting, failed, cancelled } kind;
        struct Error {
            std::int32_t code;
        };
        std::optional<Error> error;
    };
    std::function<void(State)> onState;
    int starts = 0, cancels = 0;
    void start() { ++starts; }
    void cancel() { ++cancels; }
};

TEST(BrowserProbeTest, ForwardsStatesWithTheirDnsSdCodeAndCancelsOnce) {
    using K = Browser::State::Kind;
    using Kind = LocalNetworkProbeState::Kind;
    auto browser = std::make_shared<Browser>();
    std::vector<LocalNetworkProbeState> reports;
    {
        BrowserProbe<Browser> probe(browser);
        probe.onState = [&](LocalNetworkProbeState s) { reports.push_back(s); };
        probe.start();
        for (auto s : std::vector<Browser::State>{{K::setup, {}}, {K::waiting, {{-65570}}}, {K::ready, {}},
                                                  {K::failed, {{-65563}}}, {K::cancelled, {}}})
            browser->onState(s);
        probe.cancel();
    }
    EXPECT_EQ(browser->starts, 1);
    EXPECT_EQ(browser->cancels, 1);
    EXPECT_EQ(reports, (std::vector<LocalNetworkProbeState>{
                           {Kind::setup, {}}, {Kind::waiting, -65570}, {Kind::ready, {}}, {Kind::failed, -65563},
                           {Kind::cancelled, {}}}));
}

} // namespace
} // namespace hh
