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

struct PermissionModelTest : ::testing::Test {
    ManualExecutor executor;
    std::shared_ptr<FakeMicrophone> microphone = std::make_shared<FakeMicrophone>();
    std::shared_ptr<FakeProbeLog> probes = std::make_shared<FakeProbeLog>();
    int notifications = 0;

    std::shared_ptr<PermissionModel> make() {
        auto model = std::make_shared<PermissionModel>(executor, microphone, fakeProbeFactory(probes));
        model->onChange = [this] { ++notifications; };
        model->start();
        return model;
    }
    FakeProbe& probe() { return *probes->live.back(); }
    void report(Kind kind, std::optional<std::int32_t> error = std::nullopt) {
        probe().report({kind, error});
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

TEST_F(PermissionModelTest, MicrophoneStatusTable) {
    EXPECT_EQ(microphoneStatus(MicrophoneAuthorization::authorized), Status::granted);
    EXPECT_EQ(microphoneStatus(MicrophoneAuthorization::restricted), Status::denied);
    EXPECT_EQ(microphoneStatus(MicrophoneAuthorization::denied), Status::denied);
    EXPECT_EQ(microphoneStatus(MicrophoneAuthorization::notDetermined), Status::notDetermined);
    EXPECT_EQ(microphoneStatus(MicrophoneAuthorization::unavailable), Status::unknown);
    EXPECT_EQ(microphoneStatus(static_cast<MicrophoneAuthorization>(7)), Status::unknown);

    // Restricted by policy shows as denied and is listed; unknown never is.
    microphone->value = MicrophoneAuthorization::restricted;
    auto model = make();
    EXPECT_EQ(model->microphone(), Status::denied);
    EXPECT_THAT(model->missingPermissions(), ElementsAre("Microphone"));
    microphone->value = MicrophoneAuthorization::unavailable;
    model->refresh();
    EXPECT_THAT(model->missingPermissions(), IsEmpty());
}

TEST_F(PermissionModelTest, ProbeReadyGrantsOnTheNextMainThreadStep) {
    microphone->value = MicrophoneAuthorization::authorized;
    auto model = make();
    probe().report({Kind::ready, std::nullopt});
    EXPECT_EQ(model->localNetwork(), Status::unknown);  // applied one step later
    executor.runUntilIdle();
    EXPECT_EQ(model->localNetwork(), Status::granted);
    EXPECT_TRUE(model->allGranted());
    EXPECT_THAT(model->missingPermissions(), IsEmpty());
}

TEST_F(PermissionModelTest, PolicyDenialDeniesAndOtherReportsChangeNothing) {
    microphone->value = MicrophoneAuthorization::authorized;
    auto model = make();
    report(Kind::waiting, LocalNetworkProbeState::policyDenied);
    EXPECT_EQ(model->localNetwork(), Status::denied);
    EXPECT_THAT(model->missingPermissions(), ElementsAre("Local Network"));

    const int before = notifications;
    report(Kind::waiting, -65537);
    report(Kind::waiting, std::nullopt);
    report(Kind::failed, LocalNetworkProbeState::policyDenied);
    report(Kind::failed, -65563);
    report(Kind::setup);
    report(Kind::cancelled);
    EXPECT_EQ(model->localNetwork(), Status::denied);
    EXPECT_EQ(notifications, before);

    // Reports keep coming while the probe runs: it can flip back.
    report(Kind::ready);
    EXPECT_EQ(model->localNetwork(), Status::granted);
    report(Kind::waiting, LocalNetworkProbeState::policyDenied);
    EXPECT_EQ(model->localNetwork(), Status::denied);
}

TEST_F(PermissionModelTest, OtherProbeFailuresLeaveUnknownAndNeverNotDetermined) {
    auto model = make();
    report(Kind::failed, -65563);
    report(Kind::waiting, -65563);
    EXPECT_EQ(model->localNetwork(), Status::unknown);
}

TEST_F(PermissionModelTest, BothDeniedAreListedInOrder) {
    microphone->value = MicrophoneAuthorization::denied;
    auto model = make();
    report(Kind::waiting, LocalNetworkProbeState::policyDenied);
    EXPECT_THAT(model->missingPermissions(), ElementsAre("Microphone", "Local Network"));
    EXPECT_FALSE(model->allGranted());
}

TEST_F(PermissionModelTest, RefreshCancelsTheOldProbeBeforeCreatingTheNewAndKeepsTheAnswer) {
    microphone->value = MicrophoneAuthorization::authorized;
    auto model = make();
    report(Kind::ready);
    model->refresh();
    model->refresh();
    EXPECT_THAT(probes->events, ElementsAre("create 1", "start 1", "cancel 1", "create 2", "start 2", "cancel 2",
                                            "create 3", "start 3"));
    EXPECT_EQ(probes->live.size(), 1u);
    EXPECT_EQ(model->localNetwork(), Status::granted);
    // The new probe's answer replaces it.
    report(Kind::waiting, LocalNetworkProbeState::policyDenied);
    EXPECT_EQ(model->localNetwork(), Status::denied);
}

TEST_F(PermissionModelTest, EveryAssignmentNotifies) {
    auto model = make();
    EXPECT_EQ(notifications, 1);  // the microphone, at start
    model->refresh();
    EXPECT_EQ(notifications, 2);  // unchanged, still notified
    report(Kind::ready);
    report(Kind::ready);
    EXPECT_EQ(notifications, 4);
}

TEST_F(PermissionModelTest, AnswerFromAnyThreadRefreshesOnTheMainExecutor) {
    auto model = make();
    model->requestMicrophoneAccess();
    ASSERT_EQ(microphone->pendingRequests.size(), 1u);
    microphone->value = MicrophoneAuthorization::authorized;
    std::thread answering([&] { microphone->pendingRequests[0](true); });
    answering.join();
    EXPECT_EQ(model->microphone(), Status::notDetermined);  // nothing changes off the main executor
    executor.runUntilIdle();
    EXPECT_EQ(model->microphone(), Status::granted);
    EXPECT_THAT(probes->events, ElementsAre("create 1", "start 1", "cancel 1", "create 2", "start 2"));
}

TEST_F(PermissionModelTest, DestructionCancelsTheProbeAndLateAnswersAreDropped) {
    auto model = make();
    FakeProbe& running = probe();
    auto handler = running.onState;
    model->requestMicrophoneAccess();
    handler({Kind::ready, std::nullopt});  // queued before the owner lets go
    model.reset();
    EXPECT_THAT(probes->events, ElementsAre("create 1", "start 1", "cancel 1"));
    microphone->pendingRequests[0](true);
    handler({Kind::ready, std::nullopt});
    executor.runUntilIdle();
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(executor.pendingCount(), 0u);
}

} // namespace
} // namespace hh
