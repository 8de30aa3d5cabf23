// The program's backend: the controller on the Linux services, the Wi-Fi
// name from nl80211 and the permissions from PulseAudio and the controller's
// local-network answer, all on the Qt main executor.
#include "app/adapters/ControllerAdapter.h"
#include "app/adapters/EnvironmentAdapters.h"
#include "app/adapters/QtExecutor.h"
#include "app/model/linux/PulseMicrophoneAccess.h"
#include "app/adapters/AppBackend.h"
#include "app/hotkey/GlobalHotkey.h"
#include "app/shell/AppDelegate.h"
#include "core/audio/linux/LinuxAudioPlatform.h"
#include "core/env/linux/ComputerName.h"
#include "core/env/linux/LinuxLocationAuthorization.h"
#include "core/env/linux/Nl80211WifiNameSource.h"

namespace hh {

AppBackend makeAppBackend() {
    auto main = std::make_shared<QtExecutor>();
    AppBackend backend;

    auto intercom = std::make_unique<LinuxIntercom>(computerDisplayName(), Uuid::random(), main,
                                                    makePulseAudioPlatform());
    auto controller = std::make_unique<ControllerAdapter>(std::move(intercom), main);

    auto monitor = std::make_shared<NetworkNameMonitor>(*main, std::make_unique<Nl80211WifiNameSource>(),
                                                        std::make_unique<LinuxLocationAuthorization>());
    backend.networkName = std::make_unique<MonitorNetworkName>(std::move(monitor), main);

    auto model = std::make_shared<PermissionModel>(*main, std::make_shared<PulseMicrophoneAccess>());
    // Both on the main executor; the controller starts later, in the shell.
    controller->onLocalNetworkAccessChanged = [weak = std::weak_ptr(model)](LocalNetworkAccess access) {
        if (auto m = weak.lock()) m->setLocalNetworkAccess(access);
    };
    // The talk button follows the sound server live, not only when Settings opens.
    controller->onAudioHealthChanged = [weak = std::weak_ptr(model)] {
        if (auto m = weak.lock()) m->refresh();
    };
    backend.controller = std::move(controller);
    backend.permissions = std::make_unique<ModelPermissions>(std::move(model), PrivacySettings(), main);
    auto hotkey = std::make_unique<GlobalHotkey>();
    backend.replyHotkey = GlobalHotkey::replyKeyBeside(*hotkey);
    backend.hotkey = std::move(hotkey);
    return backend;
}

} // namespace hh
