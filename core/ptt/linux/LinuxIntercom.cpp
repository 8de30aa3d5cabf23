#include "core/ptt/linux/LinuxIntercom.h"

#include "core/net/linux/AvahiDnsSd.h"
#include "core/net/linux/LinuxNetworkPlatform.h"


namespace hh {

LinuxIntercom::LinuxIntercom(std::string displayName, Uuid senderID, std::shared_ptr<Executor> main,
                             std::unique_ptr<AudioPlatform> audio)
    : transportQueue_(std::make_shared<AsioExecutor>("org.hollerhopper.transport")),
      discoveryQueue_(std::make_shared<AsioExecutor>("org.hollerhopper.discovery")),
      dnsSd_(makeAvahiDnsSdPlatform(discoveryQueue_)) {
    PTTController::Components components;
    components.main = std::move(main);
    components.network = makeLinuxNetworkPlatform(transportQueue_);
    components.audio = std::move(audio);
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

} // namespace hh
