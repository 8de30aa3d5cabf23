#include "app/model/linux/DnsSdLocalNetworkProbe.h"

#include "app/model/BrowserProbe.h"
#include "app/model/MulticastFallbackProbe.h"
#include "app/model/linux/MulticastGroupCheck.h"
#include "core/exec/AsioExecutor.h"
#include "core/net/linux/AvahiDnsSd.h"
#include "core/wire/WalkieConfig.h"

namespace hh {
namespace {

// The Avahi thread and client, alive as long as a factory or a probe holds them.
struct ProbeServices {
    std::shared_ptr<AsioExecutor> queue = std::make_shared<AsioExecutor>("org.hollerhopper.permissionprobe");
    std::shared_ptr<DnsSdPlatform> platform;
    ProbeServices() {
        queue->runAndWait([this] { platform = makeAvahiDnsSdPlatform(queue); });
    }
    ~ProbeServices() {
        queue->runAndWait([this] { platform.reset(); });
    }
};

// Runs the browser probe on the Avahi thread. cancel() waits for it, so no
// report follows a cancel.
class QueuedProbe final : public LocalNetworkProbe {
public:
    explicit QueuedProbe(std::shared_ptr<ProbeServices> services) : services_(std::move(services)) {
        services_->queue->runAndWait([this] {
            inner_ = std::make_unique<BrowserProbe<DnsSdBrowser>>(services_->platform->makeBrowser(
                std::string(WalkieConfig::bonjourServiceType), std::string(WalkieConfig::bonjourDomain)));
        });
    }
    ~QueuedProbe() override {
        services_->queue->runAndWait([this] { inner_.reset(); });
    }
    void start() override {
        services_->queue->runAndWait([this] {
            inner_->onState = onState;
            inner_->start();
        });
    }
    void cancel() override {
        services_->queue->runAndWait([this] { inner_->cancel(); });
    }

private:
    std::shared_ptr<ProbeServices> services_;
    std::unique_ptr<BrowserProbe<DnsSdBrowser>> inner_;
};

} // namespace

LocalNetworkProbeFactory makeDnsSdLocalNetworkProbeFactory() {
    auto services = std::make_shared<ProbeServices>();
    return [services]() -> std::unique_ptr<LocalNetworkProbe> {
        return std::make_unique<MulticastFallbackProbe>(std::make_unique<QueuedProbe>(services),
                                                        [] { return checkMulticastGroup(WalkieConfig::multicastHost); });
    };
}

} // namespace hh
