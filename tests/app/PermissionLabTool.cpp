// The Linux permission checks for the lab test, each printing one word:
//   permission_lab_tool microphone    the microphone status from the sound server
//   permission_lab_tool dnssd-probe   the model's local-network status with the real
//                                     Avahi browser as the probe (and the fallback)
// With --refuse-joins after the mode, setsockopt is refused with EPERM first,
// as by a sandbox that forbids multicast.
#include "app/model/PermissionModel.h"
#include "app/model/linux/DnsSdLocalNetworkProbe.h"
#include "app/model/linux/PulseMicrophoneAccess.h"
#include "support/ManualExecutor.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <iostream>
#include <string>
#include <thread>

namespace {

const char* const statusNames[] = {"granted", "denied", "notDetermined", "unknown", "unavailable"};

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

// The probe the app runs, on a model driven from this thread.
hh::PermissionModel::Status dnsSdProbe() {
    hh::ManualExecutor main;
    auto model = std::make_shared<hh::PermissionModel>(main, std::make_shared<NoMicrophone>(),
                                                       hh::makeDnsSdLocalNetworkProbeFactory());
    model->start();
    for (int i = 0; i < 100 && model->localNetwork() == hh::PermissionModel::Status::unknown; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        main.runUntilIdle();
    }
    return model->localNetwork();
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc > 2 && std::string(argv[2]) == "--refuse-joins" && !refuseSocketOptions()) return 1;
    if (mode == "microphone") {
        hh::PulseMicrophoneAccess access;
        std::cout << statusNames[int(hh::microphoneStatus(access.status()))] << "\n";
    } else if (mode == "dnssd-probe") {
        std::cout << statusNames[int(dnsSdProbe())] << "\n";
    } else {
        std::cerr << "usage: permission_lab_tool microphone|dnssd-probe [--refuse-joins]\n";
        return 2;
    }
    return 0;
}
