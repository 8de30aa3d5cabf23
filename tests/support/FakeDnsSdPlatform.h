#pragma once

// An in-memory DNS-SD platform for tests: it keeps what its users create, start
// and cancel, and lets the test play the network's part (browse results and
// browser states). Handlers run on the caller's thread, which in tests is the
// thread running the ManualExecutor.

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
        void start() override { isStarted = true; }
        void cancel() override { isCancelled = true; }
        // Delivered only while started and not cancelled, as a real browser would.
        void deliverResults(std::vector<DnsSdBrowseResult> results);
        void deliverState(DnsSdBrowserState state);

        bool isStarted = false;
        bool isCancelled = false;
    };

    std::shared_ptr<DnsSdListener> makeListener() override;
    std::shared_ptr<DnsSdBrowser> makeBrowser(const std::string& type, const std::string& domain) override;

    // Service results named `names`, in that order.
    static std::vector<DnsSdBrowseResult> results(const std::vector<std::string>& names);

    std::vector<std::shared_ptr<Listener>> listeners;  // every listener made, in order
    std::vector<std::shared_ptr<Browser>> browsers;    // every browser made, in order

private:
    std::shared_ptr<Executor> queue_;
};

} // namespace hh
