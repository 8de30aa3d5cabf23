#pragma once

// An in-memory DNS-SD platform for tests: it keeps the listeners and browsers
// its users make, and whether each browser was cancelled.

#include "core/net/DnsSdPlatform.h"

#include <memory>
#include <string>
#include <vector>

namespace hh {

class FakeDnsSdPlatform final : public DnsSdPlatform {
public:
    explicit FakeDnsSdPlatform(std::shared_ptr<Executor> queue) : queue_(std::move(queue)) {}
    std::shared_ptr<Executor> queue() const override { return queue_; }

    class Listener final : public DnsSdListener {
    public:
        void start() override {}
        void cancel() override {}
    };

    class Browser final : public DnsSdBrowser {
    public:
        void start() override {}
        void cancel() override { isCancelled = true; }

        bool isCancelled = false;
    };

    std::shared_ptr<DnsSdListener> makeListener() override { return listeners.emplace_back(std::make_shared<Listener>()); }
    std::shared_ptr<DnsSdBrowser> makeBrowser(const std::string&, const std::string&) override {
        return browsers.emplace_back(std::make_shared<Browser>());
    }

    std::vector<std::shared_ptr<Listener>> listeners;  // every listener made, in order
    std::vector<std::shared_ptr<Browser>> browsers;    // every browser made, in order

private:
    std::shared_ptr<Executor> queue_;
};

} // namespace hh
