// The permission model: the microphone as the platform answers it, and the
// local network as the controller's answer is pushed in.
#include "app/model/PermissionModel.h"
#include "support/ManualExecutor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace hh {
namespace {

struct FakeMicrophone final : MicrophoneAccess {
    MicrophoneAuthorization value = MicrophoneAuthorization::notDetermined;
    std::vector<std::function<void(bool)>> pendingRequests;  // answered by the test

    MicrophoneAuthorization status() override { return value; }
    void requestAccess(std::function<void(bool)> completion) override { pendingRequests.push_back(completion); }
};

using Status = PermissionModel::Status;
using ::testing::IsEmpty;

struct PermissionModelTest : ::testing::Test {
    ManualExecutor executor;
    std::shared_ptr<FakeMicrophone> microphone = std::make_shared<FakeMicrophone>();
    int notifications = 0;

    std::shared_ptr<PermissionModel> make() {
        auto model = std::make_shared<PermissionModel>(executor, microphone);
        model->onChange = [this] { ++notifications; };
        model->start();
        return model;
    }
};

// Each microphone answer as shown, and listed as missing before the network.
TEST_F(PermissionModelTest, MicrophoneStatusesAndWhatIsListedMissing) {
    auto model = make();
    model->setLocalNetworkAccess(LocalNetworkAccess::denied);
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
        EXPECT_EQ(model->microphone(), c.shown) << int(c.authorization);
        EXPECT_EQ(model->localNetwork(), Status::denied) << "a refresh keeps the pushed answer";
        using Names = std::vector<std::string>;
        EXPECT_EQ(model->missingPermissions(), (c.isListed ? Names{"Microphone", "Local Network"} : Names{"Local Network"}));
    }
}

// Definite answers are shown as they come; unknown keeps the last of them.
TEST_F(PermissionModelTest, LocalNetworkFollowsDefiniteAnswersAndUnknownKeepsTheLast) {
    microphone->value = MicrophoneAuthorization::authorized;
    auto model = make();
    using A = LocalNetworkAccess;
    const struct {
        A pushed;
        Status shown;
    } steps[] = {{A::unknown, Status::unknown}, {A::granted, Status::granted}, {A::unknown, Status::granted},
                 {A::denied, Status::denied},   {A::unknown, Status::denied},  {A::granted, Status::granted}};
    for (const auto& step : steps) {
        const int before = notifications;
        model->setLocalNetworkAccess(step.pushed);
        EXPECT_EQ(model->localNetwork(), step.shown) << &step - steps;
        EXPECT_EQ(notifications - before, step.pushed != A::unknown ? 1 : 0) << &step - steps;
    }
    EXPECT_TRUE(model->allGranted());
    EXPECT_THAT(model->missingPermissions(), IsEmpty());
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
}

TEST_F(PermissionModelTest, AnswersAfterTheModelIsGoneAreDropped) {
    auto model = make();
    model->requestMicrophoneAccess();
    model.reset();
    microphone->pendingRequests[0](true);
    executor.runUntilIdle();
    EXPECT_EQ(notifications, 1);
}

} // namespace
} // namespace hh
