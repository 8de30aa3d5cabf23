#pragma once

#include "core/exec/AsioExecutor.h"
#include "core/ptt/PTTController.h"

#include <memory>
#include <string>

namespace hh {

// The controller on Linux platform services: the transport and discovery each
// on an Asio thread of their own, the UDP/rtnetlink network platform, Avahi, and
// the given audio platform. Owns the order of teardown those services need.
class LinuxIntercom {
public:
    LinuxIntercom(std::string displayName, Uuid senderID, std::shared_ptr<Executor> main,
                  std::unique_ptr<AudioPlatform> audio);
    // Calls shutdown() if it has not run; on the main executor.
    ~LinuxIntercom();

    LinuxIntercom(const LinuxIntercom&) = delete;
    LinuxIntercom& operator=(const LinuxIntercom&) = delete;

    PTTController& controller() { return *controller_; }
    std::shared_ptr<PTTController> sharedController() { return controller_; }

    // On the main executor: stops the controller, lets the transport send what it
    // was given (a pending talk end included), then releases everything, each
    // platform object on its own thread.
    void shutdown();

private:
    std::shared_ptr<AsioExecutor> transportQueue_;
    std::shared_ptr<AsioExecutor> discoveryQueue_;
    std::shared_ptr<DnsSdPlatform> dnsSd_;
    std::shared_ptr<PTTController> controller_;
};

} // namespace hh
