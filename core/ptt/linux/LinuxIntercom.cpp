#include "core/ptt/linux/LinuxIntercom.h"

#include "core/net/linux/AvahiDnsSd.h"
#include "core/net/linux/LinuxNetworkPlatform.h"

#include <fstream>
#include <unistd.h>

namespace hh {

LinuxIntercom::LinuxIntercom(std::string displayName, Uuid senderID, std::shared_ptr<Executor> main,
                             std::unique_ptr<AudioPlatform> audio)
    : transportQueue_(std::make_shared<AsioExecutor>("org.hollerhopper.transport")),
      discoveryQueue_(std::make_shared<AsioExecutor>("org.hollerhopper.discovery")),
      dnsSd_(makeAvahiDnsSdPlatform(*discoveryQueue_)) {
    PTTController::Components components;
    components.main = std::move(main);
    components.transportQueue = transportQueue_;
    components.network = makeLinuxNetworkPlatform(transportQueue_->context());
    components.audio = std::move(audio);
    components.discoveryQueue = discoveryQueue_;
    components.dnsSd = dnsSd_;
    controller_ = std::make_shared<PTTController>(std::move(displayName), senderID, std::move(components));
}

LinuxIntercom::~LinuxIntercom() { shutdown(); }

void LinuxIntercom::shutdown() {
    if (!controller_) return;
    controller_->onChange = nullptr;
    controller_->stop();
    // Both queues run their stop (and any send queued before it) before we go on.
    transportQueue_->runAndWait([] {});
    discoveryQueue_->runAndWait([] {});
    controller_.reset();
    // Avahi objects belong to the discovery thread.
    discoveryQueue_->runAndWait([this] { dnsSd_.reset(); });
}

std::string computerDisplayName() {
    std::ifstream info("/etc/machine-info");
    std::string line;
    while (std::getline(info, line)) {
        if (line.rfind("PRETTY_HOSTNAME=", 0) != 0) continue;
        std::string value = line.substr(16);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (!value.empty()) return value;
    }
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') return name;
    return "Mac";
}

} // namespace hh
