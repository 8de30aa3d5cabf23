// The Linux permission checks for the lab test, each printing one word:
//   permission_lab_tool microphone     the microphone status from the sound server
//   permission_lab_tool local-network  the model's local-network status as the
//                                      controller (real Avahi, real group) answers it
// With --refuse-joins after the mode, setsockopt is refused with EPERM first,
// as by a sandbox that forbids multicast.
#include "app/model/PermissionModel.h"
#include "app/model/linux/PulseMicrophoneAccess.h"
#include "core/audio/linux/LinuxAudioPlatform.h"
#include "core/log/Log.h"
#include "core/ptt/linux/LinuxIntercom.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <future>
#include <iostream>
#include <string>

namespace {

const char* const statusNames[] = {"granted", "denied", "notDetermined", "unknown", "unavailable", "noDevice"};

struct NoMicrophone final : hh::MicrophoneAccess {
    hh::MicrophoneAuthorization status() override { return hh::MicrophoneAuthorization::unavailable; }
    void requestAccess(std::function<void(bool)> completion) override { completion(false); }
};

bool refuseSocketOptions() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_setsockopt, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The controller and the model wired as the tray program wires them, until
// the model has an answer (at most 10 s).
hh::PermissionModel::Status localNetwork() {
    using Status = hh::PermissionModel::Status;
    auto main = std::make_shared<hh::AsioExecutor>("permissionlab.main");
    std::promise<Status> answer;
    std::unique_ptr<hh::LinuxIntercom> intercom;
    std::shared_ptr<hh::PermissionModel> model;
    main->runAndWait([&] {
        intercom = std::make_unique<hh::LinuxIntercom>("Permission lab", hh::Uuid::random(), main,
                                                       hh::makeNullAudioPlatform());
        model = std::make_shared<hh::PermissionModel>(*main, std::make_shared<NoMicrophone>());
        model->onChange = [&, isAnswered = false]() mutable {
            if (isAnswered || model->localNetwork() == Status::unknown) return;
            isAnswered = true;
            answer.set_value(model->localNetwork());
        };
        model->start();
        auto& controller = intercom->controller();
        controller.onChange = [&](hh::PTTController::Property property) {
            if (property == hh::PTTController::Property::localNetworkAccess)
                model->setLocalNetworkAccess(controller.localNetworkAccess());
        };
        controller.start();
    });
    auto future = answer.get_future();
    const auto status = future.wait_for(std::chrono::seconds(10)) == std::future_status::ready ? future.get()
                                                                                             : Status::unknown;
    main->runAndWait([&] {
        intercom.reset();
        model.reset();
    });
    return status;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc > 2 && std::string(argv[2]) == "--refuse-joins" && !refuseSocketOptions()) return 1;
    if (mode == "microphone") {
        hh::PulseMicrophoneAccess access;
        std::cout << statusNames[int(hh::microphoneStatus(access.status()))] << "\n";
    } else if (mode == "local-network") {
        // The word is the output: only errors besides it.
        hh::setLogLevel(hh::LogLevel::error);
        std::cout << statusNames[int(localNetwork())] << "\n";
    } else {
        std::cerr << "usage: permission_lab_tool microphone|local-network [--refuse-joins]\n";
        return 2;
    }
    return 0;
}
