// The permission model and its local-network probe chain: the DNS-SD browser's
// adapter and the multicast fallback when no daemon answers.
#include "app/model/BrowserProbe.h"
#include "app/model/MulticastFallbackProbe.h"
#include "app/model/PermissionModel.h"
#include "support/ManualExecutor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace hh {
namespace {

struct FakeMicrophone final : MicrophoneAccess {
    MicrophoneAuthorization value = MicrophoneAuthorization::notDetermined;
    std::vector<std::function<void(bool)>> pendingRequests;  // answered by the test

    MicrophoneAuthorization status() override { return value; }
    void requestAccess(std::function<void(bool)> completion) override { pendingRequests.push_back(completion); }
};

// Probes that log what happens to them, in one shared log.
struct FakeProbeLog {
    std::vector<std::string> events;
    std::vector<struct FakeProbe*> live;
};

struct FakeProbe final : LocalNetworkProbe {
    std::shared_ptr<FakeProbeLog> log;
    std::string id;
    bool isCancelled = false;

    FakeProbe(std::shared_ptr<FakeProbeLog> l, int n) : log(std::move(l)), id(std::to_string(n)) {
        log->events.push_back("create " + id);
        log->live.push_back(this);
    }
    ~FakeProbe() override { std::erase(log->live, this); }
    void start() override { log->events.push_back("start " + id); }
    void cancel() override {
        isCancelled = true;
        log->events.push_back("cancel " + id);
    }
    void report(LocalNetworkProbeState state) {
        if (!isCancelled) onState(state);
    }
};

using Status = PermissionModel::Status;
using Kind = LocalNetworkProbeState::Kind;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
constexpr auto policyDenied = LocalNetworkProbeState::policyDenied;

struct PermissionModelTest : ::testing::Test {
    ManualExecutor executor;
    std::shared_ptr<FakeMicrophone> microphone = std::make_shared<FakeMicrophone>();
    std::shared_ptr<FakeProbeLog> probes = std::make_shared<FakeProbeLog>();
    int notifications = 0;

    std::shared_ptr<PermissionModel> make() {
        auto model = std::make_shared<PermissionModel>(executor, microphone, [log = probes, n = 0]() mutable {
            return std::make_unique<FakeProbe>(log, ++n);
        });
        model->onChange = [this] { ++notifications; };
        model->start();
        return model;
    }
    void report(Kind kind, std::optional<std::int32_t> error = std::nullopt) {
        probes->live.back()->report({kind, error});
        executor.runUntilIdle();
    }
};

// Each microphone answer as shown, and listed as missing before the network.
TEST_F(PermissionModelTest, MicrophoneStatusesAndWhatIsListedMissing) {
    auto model = make();
    EXPECT_THAT(probes->events, ElementsAre("create 1", "start 1"));
    report(Kind::waiting, policyDenied);
    using A = MicrophoneAuthorization;
    const struct {
        A authorization;
        Status shown;
        bool isListed;
    } cases[] = {{A::notDetermined, Status::notDetermined, true}, {A::restricted, Status::denied, true},
                 {A::denied, Status::denied, true},                {A::authorized, Status::granted, false},
                 {A::unavailable, Status::unavailable, false},     {static_cast<A>(7), Status::unknown, false}};
    for (const auto& c : cases) {
        microphone->value = c.authorization;
        model->refresh();
        report(Kind::waiting, policyDenied);
        EXPECT_EQ(model->microphone(), c.shown) << int(c.authorization);
        using Names = std::vector<std::string>;
        EXPECT_EQ(model->missingPermissions(), (c.isListed ? Names{"Microphone", "Local Network"} : Names{"Local Network"}));
    }
}

TEST_F(PermissionModelTest, ProbeReadyGrantsOneMainThreadStepLater) {
    microphone->value = MicrophoneAuthorization::authorized;
    auto model = make();
    probes->live.back()->report({Kind::ready, std::nullopt});
    EXPECT_EQ(model->localNetwork(), Status::unknown);
    executor.runUntilIdle();
    EXPECT_EQ(model->localNetwork(), Status::granted);
    EXPECT_TRUE(model->allGranted());
    EXPECT_THAT(model->missingPermissions(), IsEmpty());
}

TEST_F(PermissionModelTest, PolicyDenialDeniesAndOtherReportsChangeNothing) {
    microphone->value = MicrophoneAuthorization::authorized;
    auto model = make();
    report(Kind::failed, LocalNetworkProbeState::daemonNotRunning);
    report(Kind::waiting, -65537);
    EXPECT_EQ(model->localNetwork(), Status::unknown);
    report(Kind::waiting, policyDenied);
    EXPECT_EQ(model->localNetwork(), Status::denied);
    EXPECT_THAT(model->missingPermissions(), ElementsAre("Local Network"));

    const int before = notifications;
    report(Kind::waiting, std::nullopt);
    report(Kind::failed, policyDenied);
    report(Kind::setup);
    report(Kind::cancelled);
    EXPECT_EQ(model->localNetwork(), Status::denied);
    EXPECT_EQ(notifications, before);

    report(Kind::ready);  // the probe keeps reporting: it can flip back, notifying each time
    report(Kind::ready);
    EXPECT_EQ(model->localNetwork(), Status::granted);
    EXPECT_EQ(notifications, before + 2);
}

TEST_F(PermissionModelTest, RefreshCancelsTheOldProbeBeforeCreatingTheNewAndKeepsTheAnswer) {
    auto model = make();
    report(Kind::ready);
    model->refresh();
    model->refresh();
    EXPECT_THAT(probes->events, ElementsAre("create 1", "start 1", "cancel 1", "create 2", "start 2", "cancel 2",
                                            "create 3", "start 3"));
    EXPECT_EQ(probes->live.size(), 1u);
    EXPECT_EQ(model->localNetwork(), Status::granted);
    report(Kind::waiting, policyDenied);
    EXPECT_EQ(model->localNetwork(), Status::denied);
}

TEST_F(PermissionModelTest, AnswerFromAnotherThreadRefreshesOnTheMainExecutor) {
    auto model = make();
    model->requestMicrophoneAccess();
    ASSERT_EQ(microphone->pendingRequests.size(), 1u);
    microphone->value = MicrophoneAuthorization::authorized;
    std::thread([&] { microphone->pendingRequests[0](true); }).join();
    EXPECT_EQ(model->microphone(), Status::notDetermined);
    executor.runUntilIdle();
    EXPECT_EQ(model->microphone(), Status::granted);
    EXPECT_EQ(probes->events.back(), "start 2");
}

TEST_F(PermissionModelTest, DestructionCancelsTheProbeAndLateAnswersAreDropped) {
    auto model = make();
    auto handler = probes->live.back()->onState;
    model->requestMicrophoneAccess();
    handler({Kind::ready, std::nullopt});  // queued before the owner lets go
    model.reset();
    EXPECT_EQ(probes->events.back(), "cancel 1");
    microphone->pendingRequests[0](true);
    handler({Kind::ready, std::nullopt});
    executor.runUntilIdle();
    EXPECT_EQ(notifications, 1);
}

using State = LocalNetworkProbeState;

struct MulticastFallbackProbeTest : ::testing::Test {
    std::shared_ptr<FakeProbeLog> log = std::make_shared<FakeProbeLog>();
    MulticastAccess access = MulticastAccess::granted;
    int checks = 0;
    std::vector<State> reports;
    std::unique_ptr<MulticastFallbackProbe> probe = std::make_unique<MulticastFallbackProbe>(
        std::make_unique<FakeProbe>(log, 1), [this] { return ++checks, access; });

    MulticastFallbackProbeTest() {
        probe->onState = [this](State s) { reports.push_back(s); };
        probe->start();
    }
    void browserReports(State s) { log->live.back()->report(s); }
};

TEST_F(MulticastFallbackProbeTest, BrowserAnswersPassUnchangedNoDaemonIsAnsweredByTheGroupCheck) {
    std::vector<State> states = {{Kind::setup, {}}, {Kind::ready, {}}, {Kind::waiting, State::policyDenied},
                                 {Kind::failed, -65537}, {Kind::cancelled, {}}};
    for (const auto& s : states) browserReports(s);
    EXPECT_EQ(checks, 0);
    // A daemon that is not running, while waiting or failed: the group check answers when it can.
    for (auto [result, kind, answer] : std::vector<std::tuple<MulticastAccess, Kind, State>>{
             {MulticastAccess::granted, Kind::waiting, {Kind::ready, {}}},
             {MulticastAccess::denied, Kind::failed, {Kind::waiting, State::policyDenied}},
             {MulticastAccess::unavailable, Kind::failed, {Kind::failed, State::daemonNotRunning}}}) {
        access = result;
        browserReports({kind, State::daemonNotRunning});
        states.push_back(answer);
    }
    EXPECT_EQ(reports, states);
}

TEST_F(MulticastFallbackProbeTest, NothingIsReportedAfterCancelEvenIfTheBrowserRaces) {
    auto handler = log->live.back()->onState;
    probe->cancel();
    EXPECT_TRUE(log->live.back()->isCancelled);
    handler({Kind::waiting, State::daemonNotRunning});
    probe.reset();
    handler({Kind::ready, {}});
    EXPECT_EQ(checks, 0);
    EXPECT_TRUE(reports.empty());
}

// Shaped like the DNS-SD layer's browser.
struct Browser {
    struct State {
        enum class Kind { setup, ready, waiting, failed, cancelled } kind;
        struct Error { std::int32_t code; };
        std::optional<Error> error;
    };
    std::function<void(State)> onState;
    int starts = 0, cancels = 0;
    void start() { ++starts; }
    void cancel() { ++cancels; }
};

TEST(BrowserProbeTest, ForwardsStatesWithTheirDnsSdCodeAndCancelsOnce) {
    using K = Browser::State::Kind;
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
