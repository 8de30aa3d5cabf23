// Runs the Linux permission checks for the lab tests, printing one word:
//   permission_lab_tool microphone         the microphone status from the sound server
//   permission_lab_tool multicast          the multicast group check (lab hosts only)
//   permission_lab_tool no-daemon-probe    the model's local-network status when the
//                                          DNS-SD browser says the daemon is not running
// With --refuse-joins as second argument, socket options are refused with
// EPERM first, as a sandbox that forbids multicast would.
#include "app/model/MulticastFallbackProbe.h"
#include "app/model/PermissionModel.h"
#include "app/model/linux/MulticastGroupCheck.h"
#include "app/model/linux/PulseMicrophoneAccess.h"
#include "core/exec/ManualExecutor.h"
#include "core/wire/WalkieConfig.h"

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <iostream>
#include <string>

namespace {

const char* name(hh::PermissionModel::Status s) {
    switch (s) {
    case hh::PermissionModel::Status::granted: return "granted";
    case hh::PermissionModel::Status::denied: return "denied";
    case hh::PermissionModel::Status::notDetermined: return "notDetermined";
    case hh::PermissionModel::Status::unknown: return "unknown";
    }
    return "?";
}

const char* name(hh::MulticastAccess a) {
    switch (a) {
    case hh::MulticastAccess::granted: return "granted";
    case hh::MulticastAccess::denied: return "denied";
    case hh::MulticastAccess::unavailable: return "unavailable";
    }
    return "?";
}

// Stands in for a DNS-SD browser on a machine without a daemon: it only ever
// waits with "daemon not running".
class NoDaemonBrowser final : public hh::LocalNetworkProbe {
public:
    void start() override {
        if (onState) onState({Kind::setup, std::nullopt});
        if (onState) onState({Kind::waiting, hh::LocalNetworkProbeState::daemonNotRunning});
    }
    void cancel() override {}

private:
    using Kind = hh::LocalNetworkProbeState::Kind;
};

class NoMicrophone final : public hh::MicrophoneAccess {
public:
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
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    if (argc > 2 && std::string(argv[2]) == "--refuse-joins" && !refuseSocketOptions()) {
        std::cerr << "cannot install the seccomp filter\n";
        return 1;
    }
    if (what == "microphone") {
        hh::PulseMicrophoneAccess access;
        std::cout << name(hh::microphoneStatus(access.status())) << "\n";
        return 0;
    }
    if (what == "multicast") {
        std::cout << name(hh::checkMulticastGroup(hh::WalkieConfig::multicastHost)) << "\n";
        return 0;
    }
    if (what == "no-daemon-probe") {
        hh::ManualExecutor executor;
        auto model = std::make_shared<hh::PermissionModel>(executor, std::make_shared<NoMicrophone>(), [] {
            return std::make_unique<hh::MulticastFallbackProbe>(std::make_unique<NoDaemonBrowser>(), [] {
                return hh::checkMulticastGroup(hh::WalkieConfig::multicastHost);
            });
        });
        model->start();
        executor.runUntilIdle();
        std::cout << name(model->localNetwork()) << "\n";
        return 0;
    }
    std::cerr << "usage: permission_lab_tool microphone|multicast|no-daemon-probe\n";
    return 2;
}
