#pragma once

#include "app/bridge/ControllerObject.h"
#include "core/ptt/PTTController.h"
#include "core/ptt/linux/LinuxIntercom.h"

#include <functional>
#include <memory>
#include <thread>

namespace hh {

// The real controller as a Qt object: copies each published property when
// the controller reports its change, and forwards the user's operations. The
// controller runs on the same (Qt main) executor, so no hop is needed.
class ControllerAdapter final : public ControllerObject {
    Q_OBJECT
public:
    // `intercom` owns the controller and its platform services; `main` is the
    // executor they were built on, kept alive here until they are gone.
    ControllerAdapter(std::unique_ptr<LinuxIntercom> intercom, std::shared_ptr<Executor> main, QObject* parent = nullptr);
    ~ControllerAdapter() override;

    void setMuted(bool muted) override { controller().setMuted(muted); }
    void setDisplayName(const QString& name) override;
    void setCuesEnabled(bool enabled) override { controller().setCuesEnabled(enabled); }
    void setNoiseSuppression(bool enabled) override { controller().setNoiseSuppression(enabled); }
    void start() override { controller().start(); }
    void beginTalking() override { controller().beginTalking(); }
    QString beginTalkingTo(const QString& name) override;
    QString beginReply() override;
    void playMessage(double id) override { controller().playMessage(std::uint64_t(id)); }
    void markMessagesHeard() override { controller().markMessagesHeard(); }
    void endTalking() override { controller().endTalking(); }
    void refreshTransport() override { controller().refreshTransport(); }

    // The controller's local-network answer on each change, on the main
    // executor: what the permission model follows. Assign before start().
    std::function<void(LocalNetworkAccess)> onLocalNetworkAccessChanged;
    // Audio started or stopped working (the sound server came or went), on
    // the main executor: the microphone is worth checking again.
    std::function<void()> onAudioHealthChanged;

protected:
    // Derives the key on a thread of its own (a fraction of a second), then
    // switches on the main thread; a later choice wins over an earlier one.
    void applyChannel(const QString& name, const QString& passphrase) override;

private:
    static QString refusalName(std::optional<PTTController::Refusal> refusal);
    PTTController& controller() { return intercom_->controller(); }
    void copy(PTTController::Property property);

    std::shared_ptr<Executor> main_;
    std::unique_ptr<LinuxIntercom> intercom_;
    std::thread derivation_;
    // Counts choices; a derivation applies only if no later one was made.
    std::uint64_t channelChoice_ = 0;
};

} // namespace hh
