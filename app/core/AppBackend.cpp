// The program's backend: the controller on the Linux services, the Wi-Fi
// name from nl80211 and the permissions from PulseAudio and a DNS-SD probe,
// all on the Qt main executor.
#include "app/core/ControllerAdapter.h"
#include "app/core/EnvironmentAdapters.h"
#include "app/core/QtExecutor.h"
#include "app/model/BrowserProbe.h"
#include "app/model/MulticastFallbackProbe.h"
#include "app/model/linux/MulticastGroupCheck.h"
#include "app/model/linux/PulseMicrophoneAccess.h"
#include "app/core/AppBackend.h"
#include "app/shell/AppDelegate.h"
#include "app/shell/HostName.h"
#include "core/audio/linux/LinuxAudioPlatform.h"
#include "core/env/linux/LinuxLocationAuthorization.h"
#include "core/env/linux/Nl80211WifiNameSource.h"
#include "core/exec/AsioExecutor.h"
#include "core/net/linux/AvahiDnsSd.h"
#include "core/wire/WalkieConfig.h"

namespace hh {

namespace {

// Avahi objects live on their queue's thread: the probe is made, started,
// cancelled and released there. cancel() waits, so no report follows it.
class QueuedProbe final : public LocalNetworkProbe {
public:
    QueuedProbe(std::shared_ptr<AsioExecutor> queue, std::shared_ptr<DnsSdPlatform> platform) : queue_(std::move(queue)) {
        queue_->runAndWait([this, platform] {
            inner_ = std::make_unique<BrowserProbe<DnsSdBrowser>>(platform->makeBrowser(
                std::string(WalkieConfig::bonjourServiceType), std::string(WalkieConfig::bonjourDomain)));
        });
    }
    ~QueuedProbe() override {
        queue_->runAndWait([this] { inner_.reset(); });
    }
    void start() override {
        queue_->runAndWait([this] {
            inner_->onState = onState;
            inner_->start();
        });
    }
    void cancel() override {
        queue_->runAndWait([this] { inner_->cancel(); });
    }

private:
    std::shared_ptr<AsioExecutor> queue_;
    std::unique_ptr<BrowserProbe<DnsSdBrowser>> inner_;
};

// Keeps the probe's queue and platform alive as long as the model can make probes.
struct ProbeServices {
    std::shared_ptr<AsioExecutor> queue = std::make_shared<AsioExecutor>("org.hollerhopper.permissionprobe");
    std::shared_ptr<DnsSdPlatform> platform;
    ProbeServices() : platform(makeAvahiDnsSdPlatform(*queue)) {}
    ~ProbeServices() {
        queue->runAndWait([this] { platform.reset(); });
    }
};

} // namespace

AppBackend makeAppBackend() {
    auto main = std::make_shared<QtExecutor>();
    AppBackend backend;

    auto intercom = std::make_unique<LinuxIntercom>(computerName().toStdString(), Uuid::random(), main,
                                                    makePulseAudioPlatform());
    backend.controller = std::make_unique<ControllerAdapter>(std::move(intercom), main);

    auto monitor = std::make_shared<NetworkNameMonitor>(*main, std::make_unique<Nl80211WifiNameSource>(),
                                                        std::make_unique<LinuxLocationAuthorization>());
    backend.networkName = std::make_unique<MonitorNetworkName>(std::move(monitor), main);

    auto services = std::make_shared<ProbeServices>();
    LocalNetworkProbeFactory makeProbe = [services]() -> std::unique_ptr<LocalNetworkProbe> {
        return std::make_unique<MulticastFallbackProbe>(std::make_unique<QueuedProbe>(services->queue, services->platform),
                                                        [] { return checkMulticastGroup(WalkieConfig::multicastHost); });
    };
    auto model = std::make_shared<PermissionModel>(*main, std::make_shared<PulseMicrophoneAccess>(), std::move(makeProbe));
    backend.permissions = std::make_unique<ModelPermissions>(std::move(model), PrivacySettings(), main);
    return backend;
}

} // namespace hh
