#include "app/model/PermissionModel.h"
#include "core/exec/ManualExecutor.h"

#include "FakePermissionPlatform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

namespace hh {
namespace {

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

TEST_F(PermissionModelTest, FreshModelBeforeAnyProbeReport) {
    auto model = make();
    EXPECT_EQ(model->microphone(), Status::notDetermined);
    EXPECT_EQ(model->localNetwork(), Status::unknown);
    EXPECT_FALSE(model->allGranted());
    EXPECT_THAT(model->missingPermissions(), ElementsAre("Microphone"));
    EXPECT_THAT(probes->events, ElementsAre("create 1", "start 1"));
}

TEST_F(PermissionModelTest, RestrictedShowsAsDeniedBothListedInOrderUnrecognisedAsUnknownNeverListed) {
    microphone->value = MicrophoneAuthorization::restricted;
    auto model = make();
    EXPECT_EQ(model->microphone(), Status::denied);
    EXPECT_THAT(model->missingPermissions(), ElementsAre("Microphone"));
    microphone->value = MicrophoneAuthorization::denied;
    model->refresh();
    report(Kind::waiting, policyDenied);
    EXPECT_EQ(model->microphone(), Status::denied);
    EXPECT_THAT(model->missingPermissions(), ElementsAre("Microphone", "Local Network"));
    for (auto other : {MicrophoneAuthorization::unavailable, static_cast<MicrophoneAuthorization>(7)}) {
        microphone->value = other;
        model->refresh();
        EXPECT_EQ(model->microphone(), Status::unknown);
        EXPECT_THAT(model->missingPermissions(), ElementsAre("Local Network"));
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

} // namespace
} // namespace hh
